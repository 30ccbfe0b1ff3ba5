// avirec_win: the recorder on Windows. Loads avi.dll with LoadLibrary, fills
// the host's preferences, and records the test picture or raw frames through
// the plug-in's five entry points, as the host application does. It takes
// avirec's options where they apply on Windows (the system's compression
// dialog chooses the compressor; no codec library reads image files), with
// the same exit status.
//
// Unless -q is given, standard output carries one line per event, for
// people and for the tests: "message: TEXT" for each message of the plug-in,
// "frame I: R" with the result of each aviMovieAddFrame, the record's
// frameCount before close, and at the end the host heap's counters.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "frame_source.h"
#include "host/toolkit.h"
#include "options.h"
#include "plugin_loader.h"
#include "raw_layout.h"
#include "test_pattern.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 128 + SIGINT;

const char kPreferenceCategory[] = "vantorel_movies";

const char kUsage[] = R"(Usage: avirec_win [options] OUTPUT.avi

Records a movie through avi.dll, as the host application does: the
animated test picture, or raw frames from a file or standard input. The
system's video-compression dialog chooses the compressor.

  --raw FORMAT [FILE]  raw frames of --size from FILE or '-' (standard
                    input, the default), read until it ends: rgb24, bgr24,
                    rgba, bgra, gbrp or gray
  --size WxH        frame size of the test picture or of raw frames (640x480)
  --frames N        frames of the test picture (150), or at most N raw frames
  --fps N           frames per second, stored as the "moviespeed" preference
  --name TEXT       stream name, stored as the "moviestring" preference
  -y, --overwrite   overwrite OUTPUT if it exists
  -n, --no-overwrite  never overwrite; without -y or -n an existing OUTPUT is
                    asked about on a console and refused otherwise
  --plugin DLL      the plug-in to load (default: avi.dll beside this program)
  --raw-out FILE    also write the frames recorded to FILE as raw rgb24
  -q, --quiet       no event lines, only errors
  -v, --verbose     also name the plug-in loaded
  -h, --help        show this text
  -V, --version     show the version
  --                end of the options: what follows are names

Ctrl-C stops the recording and closes the movie with the frames written so
far; a second Ctrl-C ends at once.

Exit status: 0 when every frame was written, 1 when the movie could not be
created, the plug-in could not be loaded, an input or a frame failed, 2 for
bad arguments, 130 after Ctrl-C.
)";

// The first Ctrl-C asks the recording to stop after the frame in hand; a
// second one ends the program at once. The handler runs on a thread of its own.
std::atomic<bool> gStopRequested{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    if (gStopRequested.exchange(true)) {
        ExitProcess(kExitInterrupted);
    }
    return TRUE;
}

// Why an option of avirec's does not apply here, or null when all do.
const char* inapplicable(const RecorderOptions& options) {
    if (options.codec) {
        return "--codec does not apply: the system's compression dialog chooses the compressor";
    }
    if (options.listCodecs) {
        return "--list-codecs does not apply: the system's compression dialog lists them";
    }
    if (!options.repair.empty()) {
        return "--repair does not apply: repair the movie with avirec on Linux";
    }
    if (!options.join.empty()) {
        return "--join does not apply: join the movies with avirec on Linux";
    }
    if (!options.progress.empty()) {
        return "--progress does not apply: the event lines on standard output show progress";
    }
    if (!options.inputs.empty() || !options.sortInputs) {
        return "image files and streams do not apply: give the test picture's --size or --raw";
    }
    return nullptr;
}

// Raw frames read whole from a file or standard input.
class RawFileSource final : public RawFrameSource {
public:
    RawFileSource(std::FILE* file, bool ownsFile, std::string name, const RawFormat& format,
                  int width, int height, int limit)
        : RawFrameSource(std::move(name), format, width, height, limit), file_(file),
          ownsFile_(ownsFile) {}
    ~RawFileSource() override {
        if (ownsFile_) {
            std::fclose(file_);
        }
    }
    RawFileSource(const RawFileSource&) = delete;
    RawFileSource& operator=(const RawFileSource&) = delete;

    bool fromStandardInput() const override { return !ownsFile_; }

private:
    Bytes readBytes(size_t bytes) override {
        Bytes result;
        bytes_.resize(bytes);
        result.got = std::fread(bytes_.data(), 1, bytes, file_);
        if (result.got == bytes) {
            result.data = bytes_.data();
        } else if (std::ferror(file_) != 0) {
            result.outcome = Bytes::Outcome::Failed;
        } else {
            result.outcome = Bytes::Outcome::EndOfInput;
        }
        return result;
    }

    std::FILE* file_;
    bool ownsFile_;
    std::vector<uint8_t> bytes_;
};

std::unique_ptr<FrameSource> openFrameSource(const RecorderOptions& options, std::string& error) {
    if (options.rawFormat.empty()) {
        return std::make_unique<TestPatternSource>(options.width, options.height, options.frames);
    }
    const RawFormat& format = *findRawFormat(options.rawFormat);
    const int limit = options.framesGiven ? options.frames : -1;
    if (options.rawPath == "-") {
        if (standardInputIsTerminal()) {
            error = "standard input is a console: pipe the frames into avirec_win, or name a file";
            return nullptr;
        }
        _setmode(_fileno(stdin), _O_BINARY);
        return std::make_unique<RawFileSource>(stdin, false, "standard input", format,
                                               options.width, options.height, limit);
    }
    std::FILE* file = std::fopen(options.rawPath.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open " + options.rawPath + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<RawFileSource>(file, true, options.rawPath, format, options.width,
                                           options.height, limit);
}

bool gQuiet = false;

// An event line on standard output, unless -q.
void event(const char* format, ...) __attribute__((format(printf, 1, 2)));
void event(const char* format, ...) {
    if (gQuiet) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "avirec_win: %s\n", message.c_str());
    return kExitFailure;
}

void printMessage(const char* text, void* /*context*/) {
    std::printf("message: %s\n", text);
    std::fflush(stdout);
}

// Asks for the type definition as a host's file dialog does, and hands the
// copies back to the host heap.
void printFileType(const MoviePlugin& plugin) {
    char* typeName = nullptr;
    char* extension = nullptr;
    plugin.getInterfaceFileTypeDef(&typeName, &extension);
    event("type: %s (%s), name %s\n", typeName ? typeName : "(null)",
          extension ? extension : "(null)", plugin.getTypeName());
    jmsc_HeapFree(typeName);
    jmsc_HeapFree(extension);
}

// Says once, at the first frame the plug-in refused, why it was refused
// where that can be told: a movie of the platform's AVIFile cannot grow past
// 2 GiB, and the plug-in refuses the frames that would take it there.
void sayWhyRefused(const std::string& output, int index, const PlanarFrame& frame) {
    constexpr uint64_t kPlatformLimit = 2147483647;
    constexpr uint64_t kNear = 64ULL << 20;
    WIN32_FILE_ATTRIBUTE_DATA file{};
    const uint64_t size =
        GetFileAttributesExA(output.c_str(), GetFileExInfoStandard, &file) != 0
            ? (static_cast<uint64_t>(file.nFileSizeHigh) << 32) | file.nFileSizeLow
            : 0;
    if (size + frameBitmapBytes(frame.width, frame.height) + kNear >= kPlatformLimit) {
        std::fprintf(stderr,
                     "avirec_win: frame %d and those after it were not written: the movie has "
                     "reached the 2 GiB that the platform's AVIFile writes correctly; it holds the "
                     "%d frames before\n",
                     index, index);
    } else {
        std::fprintf(stderr, "avirec_win: frame %d was not written: the plug-in refused it\n", index);
    }
}

// Creates the movie, adds every frame of `source` and closes it. Returns
// the exit status.
int record(const MoviePlugin& plugin, const RecorderOptions& options, FrameSource& source,
           std::FILE* rawCopy) {
    PlanarFrame frame;
    std::string error;
    int width = 0;
    int height = 0;
    // Raw frames are read first, so that nothing is created for an empty input.
    bool haveFrame = false;
    if (!source.sizeKnownAhead(width, height)) {
        const ReadStatus status = source.read(frame, error);
        if (status == ReadStatus::End) {
            return fail("no frames to record: the input is empty; nothing was written");
        }
        if (status != ReadStatus::Frame) {
            return fail(error);
        }
        width = frame.width;
        height = frame.height;
        haveFrame = true;
    }
    MovieRecord* movie = plugin.create(options.output.c_str(), width, height);
    if (movie == nullptr) {
        event("created: no\n");
        return fail("cannot create the movie " + options.output);
    }
    event("created: yes, base name %s\n", movie->baseName ? movie->baseName : "(null)");

    int written = 0;
    int tried = 0;
    bool copyFailed = false;
    std::vector<uint8_t> packed;
    while (!gStopRequested) {
        if (!haveFrame) {
            const ReadStatus status = source.read(frame, error);
            if (status != ReadStatus::Frame) {
                break;
            }
        }
        haveFrame = false;
        BandRecords records;
        records.point(frame);
        const int32_t result = plugin.addFrame(movie, frame.width, frame.height, &records.stack);
        event("frame %d: %d\n", tried, result);
        if (result != 1 && tried == written) {
            sayWhyRefused(options.output, tried, frame);
        }
        ++tried;
        written += result == 1 ? 1 : 0;
        if (rawCopy != nullptr && !copyFailed) {
            packRgb24(frame, packed);
            copyFailed = std::fwrite(packed.data(), 1, packed.size(), rawCopy) != packed.size();
        }
    }
    event("frame count: %d\n", movie->frameCount);
    plugin.close(movie);
    event("frames written: %d of %d\n", written, tried);
    if (rawCopy != nullptr && (std::fclose(rawCopy) != 0 || copyFailed)) {
        fail("writing the frames to " + options.rawOut + " failed");
        copyFailed = true;
    }
    if (!error.empty()) {
        fail(error);
        std::fprintf(stderr, "avirec_win: %s holds the %d frames written before\n",
                     options.output.c_str(), written);
        return kExitFailure;
    }
    if (gStopRequested) {
        std::fprintf(stderr, "avirec_win: stopped by Ctrl-C; wrote %d frames to %s\n", written,
                     options.output.c_str());
        return kExitInterrupted;
    }
    return written == tried && !copyFailed ? 0 : kExitFailure;
}

int run(int argc, char** argv) {
    RecorderOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "avirec_win: %s\nTry 'avirec_win --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (const char* reason = inapplicable(options)) {
        std::fprintf(stderr, "avirec_win: %s\nTry 'avirec_win --help'.\n", reason);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("avirec_win " AVIREC_VERSION "\n", stdout);
        return 0;
    }
    gQuiet = options.verbosity == 0;
    if (!mayWriteFiles("avirec_win", options, error)) {
        return fail(error);
    }
    std::unique_ptr<FrameSource> source = openFrameSource(options, error);
    if (source == nullptr) {
        return fail(error);
    }
    std::FILE* rawCopy = nullptr;
    if (!options.rawOut.empty() && (rawCopy = std::fopen(options.rawOut.c_str(), "wb")) == nullptr) {
        return fail("cannot write " + options.rawOut + ": " + std::strerror(errno));
    }
    jvis_SetMessageHandler(printMessage, nullptr);
    if (options.fps) {
        jpmg_SetNumberPreference(kPreferenceCategory, "moviespeed", *options.fps);
    }
    if (options.name) {
        jpmg_SetStringPreference(kPreferenceCategory, "moviestring", options.name->c_str());
    }

    MoviePlugin plugin;
    const std::string path = options.plugin.empty() ? defaultPluginPath() : options.plugin;
    if (!loadMoviePlugin(path, plugin, error)) {
        if (rawCopy != nullptr) {
            std::fclose(rawCopy);
        }
        return fail(error);
    }
    if (options.verbosity > 1) {
        std::fprintf(stderr, "avirec_win: plug-in %s (%s)\n", path.c_str(), plugin.getTypeName());
    }
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    printFileType(plugin);
    const int status = record(plugin, options, *source, rawCopy);
    unloadMoviePlugin(plugin);
    event("heap: blocks=%llu bytes=%llu\n", static_cast<unsigned long long>(jmsc_HeapLiveBlocks()),
          static_cast<unsigned long long>(jmsc_HeapLiveBytes()));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("avirec_win: not enough memory\n", stderr);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "avirec_win: %s\n", failure.what());
    }
    return kExitFailure;
}
