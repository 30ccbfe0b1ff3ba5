// Parsing of avirec's arguments: options in "--name value" or "--name=value"
// form, then the output path and any image files.
#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

bool parseInt(std::string_view text, int& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool parseSize(std::string_view text, int& width, int& height) {
    const auto cross = text.find_first_of("xX");
    if (cross == std::string_view::npos) {
        return false;
    }
    return parseInt(text.substr(0, cross), width) && parseInt(text.substr(cross + 1), height) &&
           width > 0 && height > 0;
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// Options that take a value.
bool takesValue(std::string_view name) {
    return name == "--size" || name == "--frames" || name == "--fps" || name == "--name" ||
           name == "--codec" || name == "--plugin" || name == "--raw-gbrp";
}

bool applyValue(std::string_view name, const std::string& value, RecorderOptions& options,
                std::string& error) {
    if (name == "--size") {
        if (!parseSize(value, options.width, options.height)) {
            error = "--size needs WIDTHxHEIGHT with both above 0, e.g. 640x480 (got '" + value + "')";
            return false;
        }
        options.sizeGiven = true;
    } else if (name == "--frames") {
        if (!parseInt(value, options.frames) || options.frames < 1) {
            error = "--frames needs a whole number of at least 1 (got '" + value + "')";
            return false;
        }
        options.framesGiven = true;
    } else if (name == "--fps") {
        double fps = 0.0;
        if (!parseNumber(value, fps) || fps <= 0.0) {
            error = "--fps needs a number above 0 (got '" + value + "')";
            return false;
        }
        options.fps = fps;
    } else if (name == "--name") {
        options.name = value;
    } else if (name == "--codec") {
        if (value.empty()) {
            error = "--codec needs a compressor, e.g. full or mjpeg,quality=9000";
            return false;
        }
        options.codec = value;
    } else if (name == "--plugin") {
        options.plugin = value;
    } else if (name == "--raw-gbrp") {
        options.rawGbrp = value;
    }
    return true;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, RecorderOptions& options, std::string& error) {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help") {
            options.help = true;
            return true;
        }
        if (argument == "--list-codecs") {
            options.listCodecs = true;
            continue;
        }
        const auto equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (!takesValue(name)) {
            error = "unknown option '" + name + "'";
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
        if (!applyValue(name, value, options, error)) {
            return false;
        }
    }
    if (options.listCodecs) {
        return true;
    }
    if (positional.empty()) {
        error = "no output file given";
        return false;
    }
    options.output = positional.front();
    options.images.assign(positional.begin() + 1, positional.end());
    if (!options.images.empty() && !options.rawGbrp.empty()) {
        error = "give either image files or --raw-gbrp, not both";
        return false;
    }
    if (!options.images.empty() && (options.sizeGiven || options.framesGiven)) {
        error = "--size and --frames do not apply to image files: the movie has one frame per "
                "image, at the first image's size";
        return false;
    }
    if (!options.rawGbrp.empty() && !options.sizeGiven) {
        error = "--raw-gbrp needs --size, the size of its frames";
        return false;
    }
    return true;
}

std::string usageText() {
    return R"(Usage: avirec [options] OUTPUT.avi [IMAGE...]

Records a movie through the AVI movie-writer plug-in, as a host program does.
Without images it records an animated test picture; with image files (PNG,
JPEG, BMP, PPM, ...) it records one frame per image, all at the first image's
size.

Options:
  --size WxH        frame size of the test picture or of --raw-gbrp (640x480)
  --frames N        frames of the test picture (150), or the first N raw frames
  --fps N           frames per second, stored as the "moviespeed" preference
  --name TEXT       stream name, stored as the "moviestring" preference
  --codec CHOICE    the compression dialog's answer: full (Full Frames) or a
                    compressor's short name or code, optionally followed by
                    ,quality=N (0-10000) ,keyframes=N ,datarate=N (bytes/s);
                    without it a terminal shows a menu, otherwise Full Frames
  --list-codecs     list the compressors on offer and exit
  --raw-gbrp FILE   read raw planar frames (G, B and R planes of 8-bit
                    samples, one frame after another; needs --size)
  --plugin PATH     the plug-in to load (default: the one built with avirec)
  --help            show this text

Preferences are read first from the host's preference file (the file named by
JHOST_PREFERENCES, else ~/.config/jhost/preferences.ini); --fps and --name
override them for this run.

Exit status: 0 when every frame was written, 1 when the movie could not be
created or a frame failed, 2 for bad arguments.
)";
}
