// avirec_win: the Windows host in miniature. Loads avi.dll with LoadLibrary,
// fills the host's preferences, and records the test picture through the
// plug-in's five entry points, as the host application does.
//
//   avirec_win [--size WxH] [--frames N] [--fps N] [--name TEXT]
//              [--raw-out FILE] [--plugin DLL] OUTPUT.avi
//
// Standard output carries one line per event, for people and for the tests:
// "message: TEXT" for each message of the plug-in, "frame I: R" with the
// result of each aviMovieAddFrame, the record's frameCount before close, and
// at the end the host heap's counters.
// Exit status: 0 when every frame was written, 1 when a frame failed, 2 when
// the movie could not be created, 3 for bad arguments or a missing plug-in.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/toolkit.h"
#include "plugin_loader.h"
#include "test_picture.h"

namespace {

const char kPreferenceCategory[] = "vantorel_movies";

struct Options {
    int32_t width = 640;
    int32_t height = 480;
    int32_t frames = 150;
    bool fpsGiven = false;
    double fps = 0.0;
    bool nameGiven = false;
    std::string name;
    std::string rawOut;
    std::string plugin;
    std::string output;
};

void printUsage(FILE* to) {
    std::fprintf(to,
                 "usage: avirec_win [--size WxH] [--frames N] [--fps N] [--name TEXT]\n"
                 "                  [--raw-out FILE] [--plugin DLL] OUTPUT.avi\n"
                 "  --size WxH      frame size (default 640x480)\n"
                 "  --frames N      number of frames (default 150)\n"
                 "  --fps N         frame rate, stored as the preference moviespeed\n"
                 "  --name TEXT     stream name, stored as the preference moviestring\n"
                 "  --raw-out FILE  also write the frames as raw RGB24, top row first\n"
                 "  --plugin DLL    the plug-in to load (default avi.dll beside this program)\n");
}

bool parseInt(const char* text, int32_t minimum, int32_t& value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

bool parseSize(const char* text, int32_t& width, int32_t& height) {
    const char* x = std::strchr(text, 'x');
    if (x == nullptr) {
        return false;
    }
    const std::string first(text, x);
    return parseInt(first.c_str(), 1, width) && parseInt(x + 1, 1, height);
}

// Reads the arguments into `options`; false (after a message) when they are bad.
bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            printUsage(stdout);
            std::exit(0);
        } else if (arg == "--size" && hasValue) {
            if (!parseSize(argv[++i], options.width, options.height)) {
                std::fprintf(stderr, "avirec_win: bad size '%s' (want WxH)\n", argv[i]);
                return false;
            }
        } else if (arg == "--frames" && hasValue) {
            if (!parseInt(argv[++i], 0, options.frames)) {
                std::fprintf(stderr, "avirec_win: bad frame count '%s'\n", argv[i]);
                return false;
            }
        } else if (arg == "--fps" && hasValue) {
            char* end = nullptr;
            options.fps = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0') {
                std::fprintf(stderr, "avirec_win: bad frame rate '%s'\n", argv[i]);
                return false;
            }
            options.fpsGiven = true;
        } else if (arg == "--name" && hasValue) {
            options.name = argv[++i];
            options.nameGiven = true;
        } else if (arg == "--raw-out" && hasValue) {
            options.rawOut = argv[++i];
        } else if (arg == "--plugin" && hasValue) {
            options.plugin = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && options.output.empty()) {
            options.output = arg;
        } else {
            std::fprintf(stderr, "avirec_win: unexpected argument '%s'\n", arg.c_str());
            return false;
        }
    }
    if (options.output.empty()) {
        std::fprintf(stderr, "avirec_win: no output file given\n");
        return false;
    }
    return true;
}

void printMessage(const char* text, void* /*context*/) {
    std::printf("message: %s\n", text);
    std::fflush(stdout);
}

void printHeapCounters() {
    std::printf("heap: blocks=%llu bytes=%llu\n",
                static_cast<unsigned long long>(jmsc_HeapLiveBlocks()),
                static_cast<unsigned long long>(jmsc_HeapLiveBytes()));
}

// Asks for the type definition as a host's file dialog does, and hands the
// copies back to the host heap.
void printFileType(const MoviePlugin& plugin) {
    char* typeName = nullptr;
    char* extension = nullptr;
    plugin.getInterfaceFileTypeDef(&typeName, &extension);
    std::printf("type: %s (%s), name %s\n", typeName ? typeName : "(null)",
                extension ? extension : "(null)", plugin.getTypeName());
    jmsc_HeapFree(typeName);
    jmsc_HeapFree(extension);
}

// The picture's planes as the host's band records.
struct FrameRecords {
    BandBlock blocks[3];
    BandBlock* blockList[3];
    BandStack stack;
};

void pointRecordsAt(FrameRecords& records, const TestPicture& picture) {
    records = FrameRecords{};
    records.blocks[0].data = picture.red.data();
    records.blocks[1].data = picture.green.data();
    records.blocks[2].data = picture.blue.data();
    for (int band = 0; band < 3; ++band) {
        records.blockList[band] = &records.blocks[band];
    }
    records.stack.bands = records.blockList;
}

bool writeRawFrame(FILE* raw, const TestPicture& picture) {
    const size_t count = picture.red.size();
    std::string pixels(count * 3, '\0');
    for (size_t i = 0; i < count; ++i) {
        pixels[3 * i] = static_cast<char>(picture.red[i]);
        pixels[3 * i + 1] = static_cast<char>(picture.green[i]);
        pixels[3 * i + 2] = static_cast<char>(picture.blue[i]);
    }
    return std::fwrite(pixels.data(), 1, pixels.size(), raw) == pixels.size();
}

// Creates the movie, adds every frame and closes it. Returns the exit status.
int record(const MoviePlugin& plugin, const Options& options) {
    FILE* raw = nullptr;
    if (!options.rawOut.empty()) {
        raw = std::fopen(options.rawOut.c_str(), "wb");
        if (raw == nullptr) {
            std::fprintf(stderr, "avirec_win: cannot write %s\n", options.rawOut.c_str());
            return 3;
        }
    }
    MovieRecord* movie = plugin.create(options.output.c_str(), options.width, options.height);
    if (movie == nullptr) {
        std::printf("created: no\n");
        if (raw != nullptr) {
            std::fclose(raw);
        }
        return 2;
    }
    std::printf("created: yes, base name %s\n", movie->baseName ? movie->baseName : "(null)");

    TestPicture picture;
    resizeTestPicture(picture, options.width, options.height);
    FrameRecords records;
    pointRecordsAt(records, picture);
    int32_t written = 0;
    bool rawFailed = false;
    for (int32_t frame = 0; frame < options.frames; ++frame) {
        drawTestPicture(picture, frame);
        const int32_t result = plugin.addFrame(movie, options.width, options.height, &records.stack);
        std::printf("frame %d: %d\n", frame, result);
        std::fflush(stdout);
        written += result == 1 ? 1 : 0;
        if (raw != nullptr && !writeRawFrame(raw, picture)) {
            rawFailed = true;
        }
    }
    std::printf("frame count: %d\n", movie->frameCount);
    plugin.close(movie);
    if (raw != nullptr && std::fclose(raw) != 0) {
        rawFailed = true;
    }
    if (rawFailed) {
        std::fprintf(stderr, "avirec_win: writing %s failed\n", options.rawOut.c_str());
    }
    std::printf("frames written: %d of %d\n", written, options.frames);
    return written == options.frames && !rawFailed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        printUsage(stderr);
        return 3;
    }
    jvis_SetMessageHandler(printMessage, nullptr);
    if (options.fpsGiven) {
        jpmg_SetNumberPreference(kPreferenceCategory, "moviespeed", options.fps);
    }
    if (options.nameGiven) {
        jpmg_SetStringPreference(kPreferenceCategory, "moviestring", options.name.c_str());
    }

    MoviePlugin plugin;
    std::string error;
    const std::string path = options.plugin.empty() ? besideThisProgram("avi.dll") : options.plugin;
    if (!loadMoviePlugin(path, plugin, error)) {
        std::fprintf(stderr, "avirec_win: %s\n", error.c_str());
        return 3;
    }
    printFileType(plugin);
    const int status = record(plugin, options);
    unloadMoviePlugin(plugin);
    printHeapCounters();
    std::fflush(stdout);
    return status;
}
