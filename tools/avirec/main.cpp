// avirec: records a movie through the AVI movie-writer plug-in.
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "codec_list.h"
#include "frame_source.h"
#include "host/toolkit.h"
#include "options.h"
#include "plugin_loader.h"
#include "progress_line.h"
#include "recorder.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Messages of the plug-in go to standard error, on a line of their own even
// while the progress line is shown.
void showPluginMessage(const char* text, void* context) {
    static_cast<ProgressLine*>(context)->clear();
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "avirec: %s\n", message.c_str());
    return kExitFailure;
}

void applyPreferences(const RecorderOptions& options) {
    if (jpmg_LoadDefaultPreferences() == 0) {
        std::fprintf(stderr, "avirec: cannot read the preference file named by %s; going on "
                             "without it\n", JPMG_PREFERENCES_ENV);
    }
    if (options.fps) {
        jpmg_SetNumberPreference("vantorel_movies", "moviespeed", *options.fps);
    }
    if (options.name) {
        jpmg_SetStringPreference("vantorel_movies", "moviestring", options.name->c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
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
    if (options.listCodecs) {
        std::fputs(compressorTable().c_str(), stdout);
        return 0;
    }
    av_log_set_level(AV_LOG_ERROR);

    std::unique_ptr<FrameSource> source = openFrameSource(options, error);
    if (source == nullptr) {
        return fail(error);
    }
    applyPreferences(options);
    if (options.codec && setenv("VFW_COMPRESSOR", options.codec->c_str(), 1) != 0) {
        return fail("cannot pass the compressor choice on");
    }

    MoviePlugin plugin;
    const std::string pluginPath = options.plugin.empty() ? defaultPluginPath() : options.plugin;
    if (!loadMoviePlugin(pluginPath, plugin, error)) {
        return fail(error);
    }
    ProgressLine progress;
    jvis_SetMessageHandler(showPluginMessage, &progress);
    const RecordingOutcome outcome = recordMovie(plugin, options.output, *source, progress);
    jvis_SetMessageHandler(nullptr, nullptr);
    unloadMoviePlugin(plugin);

    if (!outcome.created) {
        return fail(outcome.error);
    }
    if (!outcome.error.empty()) {
        fail(outcome.error);
        std::fprintf(stderr, "avirec: %s holds the %d frames written before\n",
                     options.output.c_str(), outcome.framesWritten);
        return kExitFailure;
    }
    if (progress.enabled()) {
        std::fprintf(stderr, "avirec: wrote %d frames to %s\n", outcome.framesWritten,
                     options.output.c_str());
    }
    return 0;
}
