// avirec: records a movie through the AVI movie-writer plug-in.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "avifile_hooks.h"
#include "codec_list.h"
#include "file_roles.h"
#include "frame_source.h"
#include "image_frames.h"
#include "input_names.h"
#include "host/toolkit.h"
#include "options.h"
#include "plugin_loader.h"
#include "progress_line.h"
#include "progress_report.h"
#include "raw_frames.h"
#include "recorder.h"
#include "stop_signal.h"
#include "test_pattern.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignal = 128;  // plus the signal's number, as shells report it

// Messages of the plug-in go to standard error, on a line of their own even
// while the progress line is shown.
void showPluginMessage(const char* text, void* context) {
    static_cast<ProgressLine*>(context)->clear();
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

int fail(const std::string& message) {
    std::fprintf(stderr, "avirec: %s\n", message.c_str());
    return kExitFailure;
}

// Finishes a movie whose writer died; says what was done, or why not.
int repair(const std::string& path, const RecorderOptions& options) {
    if (!options.repairOutput.empty()) {
        RecorderOptions writing = options;
        writing.output = options.repairOutput;
        std::string error;
        if (!mayWriteFiles("avirec", writing, error)) {
            return fail(error);
        }
    }
    avifile::RepairOptions repairOptions;
    repairOptions.output = options.repairOutput;
    repairOptions.like = options.repairLike;
    if (options.sizeGiven) {
        repairOptions.width = options.width;
        repairOptions.height = options.height;
    }
    repairOptions.fps = options.fps.value_or(0.0);
    const avifile::RepairReport report = avifile::repairRecording(path.c_str(), repairOptions);
    const std::string& written = options.repairOutput.empty() ? path : options.repairOutput;
    switch (report.outcome) {
        case avifile::RepairOutcome::Repaired:
            std::fprintf(stderr, "avirec: repaired %s: %lld frames", written.c_str(),
                         static_cast<long long>(report.frames));
            if (report.samples > report.frames) {
                std::fprintf(stderr, " and %lld samples of other streams",
                             static_cast<long long>(report.samples - report.frames));
            }
            if (report.bytesCut > 0) {
                std::fprintf(stderr, "; %llu bytes after the last whole frame cut away",
                             static_cast<unsigned long long>(report.bytesCut));
            }
            std::fputs("\n", stderr);
            return 0;
        case avifile::RepairOutcome::AlreadyComplete:
            std::fprintf(stderr, "avirec: %s is complete (%lld frames); nothing was changed\n",
                         path.c_str(), static_cast<long long>(report.frames));
            return 0;
        case avifile::RepairOutcome::Refused:
            return fail("cannot repair " + path + ": " + report.message +
                        "; the file was not changed");
        case avifile::RepairOutcome::Failed:
            break;
    }
    return fail("repairing " + path + " failed: " + report.message +
                "; the file is still readable, and repairing again may finish it");
}

// Joins the movies named after --join into one; says what was done, or why
// not. The output and its partial file are checked against the inputs
// first, and an existing output is asked about as for a recording.
int join(const RecorderOptions& options) {
    std::vector<NamedFile> files;
    files.push_back({"the joined movie", options.output, -1, true});
    files.push_back({"the joined movie's partial file", options.output + ".part", -1, true});
    for (const std::string& input : options.inputs) {
        files.push_back({"the movie to join", input, -1, false});
    }
    std::string error;
    if (!refuseClashingFiles(files, error)) {
        std::fprintf(stderr, "avirec: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!mayWriteFiles("avirec", options, error)) {
        return fail(error);
    }
    if (!installStopHandlers()) {
        return fail("cannot install the handlers of Ctrl-C and SIGTERM");
    }
    avifile::JoinOptions joinOptions;
    // Past mayWriteFiles, an existing output was allowed (-y, or the user's
    // yes); a partial file left by a killed join is replaced with -y only.
    struct stat existing {};
    joinOptions.replace =
        options.overwrite == Overwrite::Always || ::stat(options.output.c_str(), &existing) == 0;
    joinOptions.keepGoing = [](int64_t, int64_t) { return !stopRequested(); };
    const avifile::JoinReport report = avifile::joinRecordings(options.output.c_str(),
                                                               options.inputs, joinOptions);
    switch (report.outcome) {
        case avifile::JoinOutcome::Joined:
            if (options.verbosity > 0) {
                std::fprintf(stderr, "avirec: joined %zu %s into %s: %lld frames\n",
                             options.inputs.size(), options.inputs.size() == 1 ? "movie" : "movies",
                             options.output.c_str(),
                             static_cast<long long>(report.frames));
            }
            return 0;
        case avifile::JoinOutcome::Refused:
            return fail(report.message +
                        (report.cutOff.empty() ? std::string()
                                               : " (avirec --repair " + report.cutOff + ")") +
                        "; " + options.output + " was not written");
        case avifile::JoinOutcome::Stopped:
            fail(report.message + "; " + options.output + " was not written");
            return kExitSignal + stopSignal();
        case avifile::JoinOutcome::Failed:
            break;
    }
    return fail(report.message + "; " + options.output + " was not written");
}

void applyPreferences(const RecorderOptions& options) {
    if (jpmg_LoadDefaultPreferences() == 0 && options.verbosity > 0) {
        std::fprintf(stderr, "avirec: %s; going on without it\n", jpmg_PreferencesLoadError());
    }
    if (options.fps) {
        jpmg_SetNumberPreference("vantorel_movies", "moviespeed", *options.fps);
    }
    if (options.name) {
        jpmg_SetStringPreference("vantorel_movies", "moviestring", options.name->c_str());
    }
}

// The source that the options ask for, reading the image files `images`
// (the inputs with their patterns expanded). Null with the reason in `error`.
std::unique_ptr<FrameSource> openFrameSource(const RecorderOptions& options,
                                             const std::vector<std::string>& images,
                                             std::string& error) {
    if (!options.rawFormat.empty()) {
        return openRawFrames(options.rawPath, options.rawFormat, options.width, options.height,
                             options.framesGiven ? options.frames : -1, error);
    }
    if (!images.empty()) {
        return openDecodedFrames(images, error);
    }
    return std::make_unique<TestPatternSource>(options.width, options.height, options.frames);
}

// Every file the recording writes and reads, in that order.
std::vector<NamedFile> filesOfRecording(const RecorderOptions& options,
                                        const std::vector<std::string>& images,
                                        const std::string& pluginPath) {
    std::vector<NamedFile> files;
    files.push_back({"the movie", options.output, -1, true});
    if (options.progress == "-") {
        files.push_back({"the --progress output, standard output,", "", STDOUT_FILENO, true});
    } else if (options.progress.compare(0, 3, "fd:") == 0) {
        files.push_back({"the --progress descriptor", options.progress,
                         std::atoi(options.progress.c_str() + 3), true});
    } else if (!options.progress.empty()) {
        files.push_back({"the --progress file", options.progress, -1, true});
    }
    if (!options.rawOut.empty()) {
        files.push_back({"the --raw-out file", options.rawOut, -1, true});
    }
    if (framesFromStandardInput(options)) {
        files.push_back({"standard input, which holds the frames,", "", STDIN_FILENO, false});
    } else if (!options.rawPath.empty()) {
        files.push_back({"the raw input", options.rawPath, -1, false});
    }
    for (const std::string& image : images) {
        files.push_back({"the input image", image, -1, false});
    }
    files.push_back({"the plug-in", pluginPath, -1, false});
    return files;
}

// Before anything is opened: the standard descriptors the recording needs
// are open, the input patterns expand into `images`, no file is both
// written and read (or written twice), and each file written may be. 0, or
// the exit status after saying why not.
int checkFilesOfRecording(const RecorderOptions& options, const StandardDescriptors& standard,
                          const std::string& pluginPath, std::vector<std::string>& images) {
    if (framesFromStandardInput(options) && (standard.inputClosed || standard.inputWriteOnly)) {
        return fail(standard.inputClosed ? "standard input is closed: there are no frames to read"
                                         : "standard input is not open for reading");
    }
    if (options.progress == "-" && standard.outputClosed) {
        return fail("standard output is closed: --progress - has nowhere to go");
    }
    std::string error;
    if (options.rawFormat.empty() &&
        !expandInputNames(options.inputs, options.sortInputs, images, error)) {
        return fail(error);
    }
    if (!refuseClashingFiles(filesOfRecording(options, images, pluginPath), error)) {
        std::fprintf(stderr, "avirec: %s\n", error.c_str());
        return kExitUsage;
    }
    return mayWriteFiles("avirec", options, error) ? 0 : fail(error);
}

int record(int argc, char** argv, const StandardDescriptors& standard) {
    RecorderOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "avirec: %s\nTry 'avirec --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("avirec " AVIREC_VERSION "\n", stdout);
        return 0;
    }
    if (options.listCodecs) {
        std::fputs(compressorTable().c_str(), stdout);
        return 0;
    }
    if (!options.repair.empty()) {
        return repair(options.repair, options);
    }
    if (!options.join.empty()) {
        return join(options);
    }
    av_log_set_level(options.verbosity == 0   ? AV_LOG_FATAL
                     : options.verbosity == 1 ? AV_LOG_ERROR
                                              : AV_LOG_VERBOSE);
    // The platform layer silences the codec libraries unless this is set.
    if (options.verbosity > 1) {
        setenv("AVIFILE_CODEC_LOG", "1", 0);
    }
    if (!installStopHandlers()) {
        return fail("cannot install the handlers of Ctrl-C and SIGTERM");
    }
    // A --progress reader that goes away must not end the recording.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> images;
    const std::string pluginPath = options.plugin.empty() ? defaultPluginPath() : options.plugin;
    if (const int status = checkFilesOfRecording(options, standard, pluginPath, images); status != 0) {
        return status;
    }
    std::unique_ptr<FrameSource> source = openFrameSource(options, images, error);
    if (source == nullptr) {
        return stopRequested() ? kExitSignal + stopSignal() : fail(error);
    }
    applyPreferences(options);
    // The compression dialog's menu would read the frames as keystrokes.
    const char* choice = options.codec ? options.codec->c_str()
                         : source->fromStandardInput() && std::getenv("VFW_COMPRESSOR") == nullptr
                             ? "full"
                             : nullptr;
    if (choice != nullptr && setenv("VFW_COMPRESSOR", choice, 1) != 0) {
        return fail("cannot pass the compressor choice on");
    }
    ProgressReport report;
    if (!options.progress.empty() &&
        !report.open(options.progress, options.output, options.fps, options.verbosity == 0, error)) {
        return fail(error);
    }

    std::unique_ptr<std::FILE, FileCloser> rawCopy;
    if (!options.rawOut.empty()) {
        rawCopy.reset(std::fopen(options.rawOut.c_str(), "wb"));
        if (rawCopy == nullptr) {
            return fail("cannot write " + options.rawOut + ": " + std::strerror(errno));
        }
    }

    MoviePlugin plugin;
    if (!loadMoviePlugin(pluginPath, plugin, error)) {
        return fail(error);
    }
    if (options.verbosity > 1) {
        std::fprintf(stderr, "avirec: plug-in %s (%s)\n", pluginPath.c_str(), plugin.getTypeName());
    }
    ProgressLine progress(options.verbosity > 0 && isatty(STDERR_FILENO) == 1);
    jvis_SetMessageHandler(showPluginMessage, &progress);
    const RecordingOutcome outcome =
        recordMovie(plugin, options.output, *source, progress, report, rawCopy.get());
    jvis_SetMessageHandler(nullptr, nullptr);
    unloadMoviePlugin(plugin);
    const bool copied =
        rawCopy == nullptr || (std::fclose(rawCopy.release()) == 0 && !outcome.copyFailed);
    if (!copied) {
        fail("writing the frames to " + options.rawOut + " failed");
    }

    if (!outcome.created) {
        if (outcome.stoppedBy != 0) {
            std::fprintf(stderr, "avirec: %s\n", outcome.error.c_str());
            return kExitSignal + outcome.stoppedBy;
        }
        return fail(outcome.error);
    }
    if (!outcome.finishError.empty()) {
        if (!outcome.error.empty()) {
            fail(outcome.error);
        }
        fail(outcome.finishError);
        return outcome.stoppedBy != 0 ? kExitSignal + outcome.stoppedBy : kExitFailure;
    }
    if (!outcome.error.empty()) {
        fail(outcome.error);
        std::fprintf(stderr, "avirec: %s holds the %d frames written before\n",
                     options.output.c_str(), outcome.framesWritten);
        return outcome.stoppedBy != 0 ? kExitSignal + outcome.stoppedBy : kExitFailure;
    }
    if (outcome.stoppedBy != 0) {
        std::fprintf(stderr, "avirec: stopped by %s; wrote %d frames to %s\n",
                     outcome.stoppedBy == SIGINT ? "Ctrl-C" : "SIGTERM", outcome.framesWritten,
                     options.output.c_str());
        return kExitSignal + outcome.stoppedBy;
    }
    if (progress.enabled() || options.verbosity > 1) {
        std::fprintf(stderr, "avirec: wrote %d frames to %s\n", outcome.framesWritten,
                     options.output.c_str());
    }
    return copied ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    const StandardDescriptors standard = holdStandardDescriptors();
    // The recorder closes the movie when memory runs out in the middle of
    // it; what reaches here is a failure before or after the recording.
    try {
        return record(argc, argv, standard);
    } catch (const std::bad_alloc&) {
        std::fputs("avirec: not enough memory\n", stderr);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "avirec: %s\n", failure.what());
    }
    return kExitFailure;
}
