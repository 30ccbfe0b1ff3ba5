// avirec's command line.
#ifndef AVIREC_OPTIONS_H
#define AVIREC_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

struct RecorderOptions {
    std::string output;               // the movie to write
    std::vector<std::string> images;  // image files, one frame each, in order
    std::string rawGbrp;              // raw planar frames (G, B, R planes), or empty
    int width = 640;
    int height = 480;
    bool sizeGiven = false;
    int frames = 150;
    bool framesGiven = false;
    std::optional<double> fps;        // into the "moviespeed" preference
    std::optional<std::string> name;  // into the "moviestring" preference
    std::optional<std::string> codec; // the compression dialog's answer
    std::string plugin;               // plug-in to load; empty for the built one
    bool listCodecs = false;
    bool help = false;
};

// Reads the arguments. False with a message for the user in `error` when
// they do not make a recording.
bool parseOptions(int argc, const char* const* argv, RecorderOptions& options, std::string& error);

// The text of --help.
std::string usageText();

#endif  // AVIREC_OPTIONS_H
