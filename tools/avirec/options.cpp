// Parsing of avirec's arguments with getopt_long: short and long options
// in any order among the output and input names, "--" ending them.
#include "options.h"

#include <getopt.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <string_view>

#include "frame_source.h"
#include "raw_layout.h"

namespace {

// Only plain decimal digits: no sign, blank, base prefix or exponent, so
// that nothing the user typed is read as something else.
bool isDigits(std::string_view text) {
    return !text.empty() &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool parseInt(std::string_view text, int& value) {
    if (!isDigits(text)) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

bool parseSize(std::string_view text, int& width, int& height) {
    const auto cross = text.find_first_of("xX");
    if (cross == std::string_view::npos) {
        return false;
    }
    return parseInt(text.substr(0, cross), width) && parseInt(text.substr(cross + 1), height) &&
           width > 0 && height > 0;
}

// A plain decimal number: digits with at most one decimal point among or
// after them ("25", "29.97", ".5"). Hexadecimal, exponents, "inf" and "nan",
// which the C library would read, are refused.
bool parseDecimal(std::string_view text, double& value) {
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || (!whole.empty() && !isDigits(whole)) ||
        (!fraction.empty() && !isDigits(fraction))) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    return result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

bool applyValue(std::string_view name, const std::string& value, RecorderOptions& options,
                std::string& error) {
    if (name == "--size") {
        if (!parseSize(value, options.width, options.height)) {
            error = "--size needs WIDTHxHEIGHT with both whole numbers above 0, e.g. 640x480 "
                    "(got '" + value + "')";
            return false;
        }
        if (!frameFitsMovie(options.width, options.height)) {
            error = "--size " + value + " is too large: a movie frame holds at most " +
                    std::to_string(kMaxFrameBytes) + " bytes (3 bytes a pixel, rows padded to 4)";
            return false;
        }
        options.sizeGiven = true;
    } else if (name == "--frames") {
        if (!parseInt(value, options.frames) || options.frames < 1) {
            error = "--frames needs a whole number from 1 to 2147483647 (got '" + value + "')";
            return false;
        }
        options.framesGiven = true;
    } else if (name == "--fps") {
        // The plug-in rounds the rate to whole frames per second (half up)
        // and takes 1 to 2147483647; a rate outside would silently become
        // its default of 15.
        double fps = 0.0;
        if (!parseDecimal(value, fps) || fps < 0.5 || fps >= 2147483647.5) {
            error = "--fps needs a decimal number from 0.5 to 2147483647, e.g. 25 or 29.97 (got '" +
                    value + "')";
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
        if (!options.rawFormat.empty()) {
            error = "--raw and --raw-gbrp do not go together";
            return false;
        }
        options.rawPath = value;
        options.rawFormat = "gbrp";
    } else if (name == "--raw") {
        if (!options.rawPath.empty()) {
            error = "--raw and --raw-gbrp do not go together";
            return false;
        }
        if (!isRawFormat(value)) {
            error = "--raw needs one of " + rawFormatNames() + " (got '" + value + "')";
            return false;
        }
        options.rawFormat = value;
    } else if (name == "--progress") {
        if (value.empty()) {
            error = "--progress needs -, a file or fd:N";
            return false;
        }
        options.progress = value;
    } else if (name == "--raw-out") {
        if (value.empty()) {
            error = "--raw-out needs a file";
            return false;
        }
        options.rawOut = value;
    } else if (name == "--repair") {
        if (value.empty()) {
            error = "--repair needs the movie to repair";
            return false;
        }
        options.repair = value;
    } else if (name == "--like") {
        if (value.empty()) {
            error = "--like needs a complete movie recorded with the same settings";
            return false;
        }
        options.repairLike = value;
    } else if (name == "--join") {
        if (value.empty()) {
            error = "--join needs the movie to write, then the movies to join";
            return false;
        }
        options.join = value;
    } else if (name == "--output") {
        if (value.empty()) {
            error = "--output needs the file the repaired movie goes to";
            return false;
        }
        options.repairOutput = value;
    }
    return true;
}


// Long options without a short form.
enum LongOnly {
    kSize = 256, kFrames, kFps, kName, kCodec, kPlugin, kRawGbrp, kRaw, kRepair, kListCodecs,
    kProgress, kNoSort, kRawOut, kLike, kOutput, kJoin
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"overwrite", no_argument, nullptr, 'y'},
    {"no-overwrite", no_argument, nullptr, 'n'},
    {"size", required_argument, nullptr, kSize},
    {"frames", required_argument, nullptr, kFrames},
    {"fps", required_argument, nullptr, kFps},
    {"name", required_argument, nullptr, kName},
    {"codec", required_argument, nullptr, kCodec},
    {"plugin", required_argument, nullptr, kPlugin},
    {"raw-gbrp", required_argument, nullptr, kRawGbrp},
    {"raw", required_argument, nullptr, kRaw},
    {"repair", required_argument, nullptr, kRepair},
    {"list-codecs", no_argument, nullptr, kListCodecs},
    {"progress", required_argument, nullptr, kProgress},
    {"no-sort", no_argument, nullptr, kNoSort},
    {"raw-out", required_argument, nullptr, kRawOut},
    {"like", required_argument, nullptr, kLike},
    {"output", required_argument, nullptr, kOutput},
    {"join", required_argument, nullptr, kJoin},
    {nullptr, 0, nullptr, 0},
};

std::string longName(int id) {
    for (const option& entry : kLongOptions) {
        if (entry.val == id && entry.name != nullptr) {
            return std::string("--") + entry.name;
        }
    }
    return {};
}

// The option as the user wrote it, without any "=value".
std::string writtenOption(const char* argument) {
    const std::string text = argument != nullptr ? argument : "";
    return text.substr(0, text.find('='));
}

// --join OUT IN...: the inputs are the names; nothing is recorded, so the
// options of a recording are refused rather than ignored.
bool checkJoin(const std::vector<std::string>& positional, RecorderOptions& options,
               std::string& error) {
    const char* recording = !options.repair.empty()       ? "--repair"
                            : !options.repairLike.empty()   ? "--like"
                            : !options.repairOutput.empty() ? "--output"
                            : options.codec                 ? "--codec"
                            : options.sizeGiven             ? "--size"
                            : options.framesGiven           ? "--frames"
                            : options.fps                   ? "--fps"
                            : options.name                  ? "--name"
                            : !options.rawFormat.empty()    ? "--raw"
                            : !options.progress.empty()     ? "--progress"
                            : !options.rawOut.empty()       ? "--raw-out"
                                                            : nullptr;
    if (recording != nullptr) {
        error = std::string(recording) + " does not go with --join, which copies the frames as "
                                         "they are";
        return false;
    }
    if (positional.empty()) {
        error = "--join " + options.join + " needs the movies to join, in their order";
        return false;
    }
    options.output = options.join;
    options.inputs = positional;
    return true;
}

bool checkCombination(const std::vector<std::string>& positional, RecorderOptions& options,
                      std::string& error) {
    if (options.listCodecs || options.help || options.version) {
        return true;
    }
    if (!options.join.empty()) {
        return checkJoin(positional, options, error);
    }
    if (!options.repair.empty()) {
        if (!positional.empty()) {
            error = "--repair takes the one movie it repairs, and records nothing";
            return false;
        }
        return true;
    }
    if (!options.repairLike.empty() || !options.repairOutput.empty()) {
        error = std::string(options.repairLike.empty() ? "--output" : "--like") +
                " goes with --repair";
        return false;
    }
    if (positional.empty()) {
        error = "no output file given";
        return false;
    }
    options.output = positional.front();
    options.inputs.assign(positional.begin() + 1, positional.end());
    if (options.output == "-") {
        error = "a movie cannot be written to standard output (the file is rewritten at its end); "
                "name a file";
        return false;
    }
    if (!options.rawPath.empty()) {  // --raw-gbrp FILE
        if (!options.inputs.empty()) {
            error = "give either image files or --raw-gbrp, not both";
            return false;
        }
    } else if (!options.rawFormat.empty()) {
        if (options.inputs.size() > 1) {
            error = "--raw reads one file, FIFO or '-' (standard input), not " +
                    std::to_string(options.inputs.size());
            return false;
        }
        options.rawPath = options.inputs.empty() ? "-" : options.inputs.front();
        options.inputs.clear();
    }
    if (!options.rawFormat.empty() && !options.sizeGiven) {
        error = (options.rawFormat == "gbrp" && options.rawPath != "-" ? "--raw-gbrp" : "--raw") +
                std::string(" needs --size, the size of its frames");
        return false;
    }
    if (!options.inputs.empty() && (options.sizeGiven || options.framesGiven)) {
        error = "--size and --frames do not apply to image files: the movie has one frame per "
                "image, at the first image's size";
        return false;
    }
    if (std::count(options.inputs.begin(), options.inputs.end(), "-") > 0 &&
        options.inputs.size() > 1) {
        error = "'-' (standard input) must be the only input";
        return false;
    }
    return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, RecorderOptions& options, std::string& error) {
    opterr = 0;
    optind = 0;  // a fresh scan, also with GNU's extensions
    std::vector<std::string> positional;
    int id = 0;
    // "-" in front: names and options may come in any order; a leading ':'
    // tells a missing value apart from an unknown option.
    while ((id = getopt_long(argc, argv, "-:hVqvyn", kLongOptions, nullptr)) != -1) {
        switch (id) {
            case 1:
                positional.emplace_back(optarg);
                break;
            case 'h':
                options.help = true;
                break;
            case 'V':
                options.version = true;
                break;
            case 'q':
                options.verbosity = 0;
                break;
            case 'v':
                options.verbosity = 2;
                break;
            case 'y':
                options.overwrite = Overwrite::Always;
                break;
            case 'n':
                options.overwrite = Overwrite::Never;
                break;
            case kListCodecs:
                options.listCodecs = true;
                break;
            case kNoSort:
                options.sortInputs = false;
                break;
            case ':':
                error = (optopt >= kSize ? longName(optopt) : writtenOption(argv[optind - 1])) +
                        " needs a value";
                return false;
            case '?':
                if (optopt != 0 && optopt < kSize) {
                    error = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
                } else {
                    error = "unknown option '" + writtenOption(argv[optind - 1]) + "'";
                }
                return false;
            default:
                if (!applyValue(longName(id), optarg != nullptr ? optarg : "", options, error)) {
                    return false;
                }
                break;
        }
    }
    // What follows "--" is names only.
    for (int i = optind; i < argc; ++i) {
        positional.emplace_back(argv[i]);
    }
    return checkCombination(positional, options, error);
}

bool standardInputIsTerminal() {
#ifdef _WIN32
    // The C library calls every character device a terminal, the null
    // device too; only a console has a console mode.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return isatty(STDIN_FILENO) == 1;
#endif
}

bool framesFromStandardInput(const RecorderOptions& options) {
    return options.rawPath == "-" || (options.inputs.size() == 1 && options.inputs[0] == "-");
}

namespace {

// Whether `path`, written in `role`, may be written: it does not exist (or,
// but for the movie, is no regular file, such as a FIFO or /dev/null, which
// writing does not destroy), -y was given, or the user said yes on a
// terminal. False with the reason in `error`.
bool mayWrite(const char* program, const std::string& path, bool isMovie,
              const RecorderOptions& options, std::string& error) {
    std::error_code failed;
    const auto status = isMovie ? std::filesystem::symlink_status(path, failed)
                                : std::filesystem::status(path, failed);
    if (failed || !std::filesystem::exists(status) || options.overwrite == Overwrite::Always ||
        (!isMovie && !std::filesystem::is_regular_file(status))) {
        return true;
    }
    if (options.overwrite == Overwrite::Never) {
        error = path + " exists, and -n says never to overwrite it";
        return false;
    }
    // Standard input answers only when it is a terminal that does not carry the frames.
    if (standardInputIsTerminal() && !framesFromStandardInput(options)) {
        std::fprintf(stderr, "%s: %s exists; overwrite it? [y/N] ", program, path.c_str());
        std::fflush(stderr);
        char answer[16] = {};
        if (std::fgets(answer, sizeof answer, stdin) != nullptr &&
            (answer[0] == 'y' || answer[0] == 'Y')) {
            return true;
        }
        error = path + " was not overwritten";
        return false;
    }
    error = path + " exists; pass -y to overwrite it";
    return false;
}

}  // namespace

bool progressGoesToAFile(const std::string& target) {
    return !target.empty() && target != "-" && target.compare(0, 3, "fd:") != 0;
}

bool mayWriteFiles(const char* program, const RecorderOptions& options, std::string& error) {
    return mayWrite(program, options.output, true, options, error) &&
           (!progressGoesToAFile(options.progress) ||
            mayWrite(program, options.progress, false, options, error)) &&
           (options.rawOut.empty() || mayWrite(program, options.rawOut, false, options, error));
}

std::string usageText() {
    return R"(Usage: avirec [options] OUTPUT.avi [INPUT...]
       avirec --join OUTPUT.avi MOVIE.avi...

Records a movie through the AVI movie-writer plug-in, as a host program does.
Without inputs it records an animated test picture. INPUTs are image files
(PNG, JPEG, BMP, PPM, ...), a printf-style pattern such as frames/f_%04d.png,
or one stream that FFmpeg's libraries read (YUV4MPEG2, NUT, concatenated PNG
or JPEG images, ...), '-' being standard input. Image names are taken in
natural order (f_2 before f_10); the movie takes the first frame's size.

Input:
  --raw FORMAT      the input (a file, a FIFO or '-', the default) holds raw
                    frames of --size, read until it ends: rgb24, bgr24 (3 bytes
                    a pixel, top row first), rgba, bgra (alpha dropped), gbrp
                    (G, B and R planes) or gray (one plane for all bands)
  --raw-gbrp FILE   the same as --raw gbrp FILE
  --size WxH        frame size of the test picture or of raw frames (640x480)
  --frames N        frames of the test picture (150), or at most N raw frames
  --no-sort         take the image names in the order given

Movie:
  --fps N           frames per second (0.5 to 2147483647, rounded to whole
                    frames), stored as the "moviespeed" preference
  --name TEXT       stream name, stored as the "moviestring" preference
  --codec CHOICE    the compression dialog's answer: full (Full Frames) or a
                    compressor's short name or code, optionally followed by
                    ,quality=N (0-10000) ,keyframes=N (0-2147483647)
                    ,datarate=N (125-268435455 bytes/s); without it a
                    terminal shows a menu, otherwise (and always when frames
                    come from standard input) Full Frames
  -y, --overwrite   overwrite OUTPUT, the --progress file and the --raw-out
                    file if they exist
  -n, --no-overwrite  never overwrite; without -y or -n each existing file
                    is asked about on a terminal and refused otherwise
  --plugin PATH     the plug-in to load (default: the one installed or built
                    with avirec)
  --raw-out FILE    also write the frames recorded to FILE as raw rgb24, to
                    compare with what a reader decodes

Other:
  --progress TARGET progress as key=value blocks (frame, fps, total_size,
                    out_time, progress=continue|end) to TARGET: '-' (standard
                    output), a file, or fd:N
  -q, --quiet       only errors on standard error
  -v, --verbose     more detail, also from the codec libraries
  --list-codecs     list the compressors on offer and exit
  --repair FILE     finish a movie whose recording was cut off (the program
                    killed, the machine stopped): keeps every whole frame,
                    writes the indexes and headers, and records nothing;
                    in place unless --output is given
  --output NEW      with --repair: write the repaired movie to NEW and leave
                    FILE as it is (-y and -n govern an existing NEW)
  --join OUTPUT     write OUTPUT, one movie of every frame of the movies
                    named after it, in their order, copied as they are (never
                    decoded), and record nothing; they must be finished
                    movies of one video stream with the same size, codec,
                    format and rate, each starting with a key frame. Written
                    as OUTPUT.part and renamed to OUTPUT when complete (-y and
                    -n govern an existing OUTPUT); if avirec is killed,
                    avirec --repair OUTPUT.part finishes what was copied
  --like COMPLETE   with --repair, for a movie whose headers were never
                    written: take them from COMPLETE, a finished movie
                    recorded with the same settings; without it, --size
                    (uncompressed frames) and --fps say what the frames
                    do not
  -h, --help        show this text
  -V, --version     show the version
  --                end of the options: what follows are names

Preferences are read first from the host's preference file (the file named by
JHOST_PREFERENCES, else ~/.config/jhost/preferences.ini); --fps and --name
override them for this run.

Ctrl-C or SIGTERM stops the recording and closes the movie with the frames
written so far; a second Ctrl-C ends at once (avirec --repair finishes it).

Exit status: 0 when every frame was written, 1 when the movie could not be
created, an input failed or a frame failed (for --join: the movies were
refused or the join failed), 2 for bad arguments, 130 after Ctrl-C and 143
after SIGTERM.
)";
}
