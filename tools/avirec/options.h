// avirec's command line.
#ifndef AVIREC_OPTIONS_H
#define AVIREC_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

// What to do when the output file exists already.
enum class Overwrite { Ask, Always, Never };

struct RecorderOptions {
    std::string output;               // the movie to write
    std::vector<std::string> inputs;  // image files or streams, "-" for standard input
    std::string rawFormat;            // raw frames in this layout, or empty
    std::string rawPath;              // where the raw frames come from ("-": standard input)
    int width = 640;
    int height = 480;
    bool sizeGiven = false;
    int frames = 150;
    bool framesGiven = false;
    std::optional<double> fps;        // into the "moviespeed" preference
    std::optional<std::string> name;  // into the "moviestring" preference
    std::optional<std::string> codec; // the compression dialog's answer
    std::string plugin;               // plug-in to load; empty for the built one
    std::string progress;             // where machine-readable progress goes, or empty
    std::string rawOut;               // where the frames recorded also go as rgb24, or empty
    Overwrite overwrite = Overwrite::Ask;
    int verbosity = 1;                // 0 with -q, 2 with -v
    bool sortInputs = true;           // natural order of the input names
    bool listCodecs = false;
    bool help = false;
    bool version = false;
    std::string repair;               // a movie to finish after its writer died, or empty
    std::string repairLike;           // --like: a complete movie to take the headers from
    std::string repairOutput;         // --output: where the repaired movie goes; empty: in place
    std::string join;                 // --join: the movie that the inputs are joined into, or empty
};

// Reads the arguments (the C library may reorder argv, putting the options
// first). False with a message for the user in `error` when they do not make
// a recording.
bool parseOptions(int argc, char** argv, RecorderOptions& options, std::string& error);

// Whether standard input is a terminal (on Windows, a console).
bool standardInputIsTerminal();

// Whether the frames come from standard input.
bool framesFromStandardInput(const RecorderOptions& options);

// Whether --progress TARGET names a file (not '-' or fd:N).
bool progressGoesToAFile(const std::string& target);

// Whether the files the options write (the movie, a --progress file, the
// --raw-out file) may be written: each does not exist, -y was given, or the
// user said yes on a terminal (asked as `program`). False with the reason in
// `error`.
bool mayWriteFiles(const char* program, const RecorderOptions& options, std::string& error);

// The text of --help.
std::string usageText();

#endif  // AVIREC_OPTIONS_H
