// AVISaveOptions, the compression dialog's stand-in, and AVISaveOptionsFree.
//
// The answer comes from, in this order: the hook of setSaveOptionsHook (set
// by tests only); the environment variable VFW_COMPRESSOR; a text menu when
// standard input and standard error are terminals; else Full Frames, as if
// OK was pressed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "api/compressor_choice.h"
#include "api/compressor_menu.h"
#include "api/failure_reason.h"
#include "api/handles.h"
#include "api/test_switches.h"
#include "avifile_hooks.h"
#include "codecs/encoder.h"
#include "platform_export.h"

namespace avifile::api {
namespace {

std::mutex gHookMutex;
SaveOptionsHook gHook;

// Blocks handed out by allocateOptionsBlock: AVISaveOptionsFree frees these
// and no others, so a caller's own pointers in the options are never freed.
std::mutex gBlocksMutex;
std::set<void*> gBlocks;

SaveOptionsHook currentHook() {
    std::lock_guard lock(gHookMutex);
    return gHook;
}

void freeOptionsBlock(void* block) {
    if (block == nullptr) {
        return;
    }
    std::lock_guard lock(gBlocksMutex);
    if (gBlocks.erase(block) != 0) {
        std::free(block);
    }
}

// The stand-in's answer when no hook is set.
ChoiceOutcome chooseWithoutHook(CompressorChoice& choice) {
    const std::vector<CompressorDescription>& offered = codecs::compressors();
    const CompressorLookup lookup = [](std::string_view name) {
        return codecs::findCompressor(name);
    };
    const char* setting = std::getenv("VFW_COMPRESSOR");
    if (setting != nullptr && setting[0] != '\0') {
        std::string message;
        const ChoiceOutcome outcome = parseCompressorChoice(setting, lookup, choice, message);
        if (outcome == ChoiceOutcome::Invalid) {
            std::fprintf(stderr,
                         "VFW_COMPRESSOR=%s: %s.\n"
                         "Give a compressor's code or short name, optionally followed by "
                         ",quality=N (0-10000), ,keyframes=N (0-2147483647) or ,datarate=N "
                         "(125-268435455 bytes per second), or 'cancel'. Compressors on offer:\n%s",
                         setting, message.c_str(), listCompressors(offered).c_str());
            setFailureReason("the compressor choice VFW_COMPRESSOR=" + std::string(setting) +
                             " was refused: " + message);
        } else if (outcome == ChoiceOutcome::Cancelled) {
            setFailureReason("VFW_COMPRESSOR=cancel answered the compression dialog with Cancel");
        }
        return outcome;
    }
    if (isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1) {
        const ChoiceOutcome outcome = runCompressorMenu(stdin, stderr, offered, lookup, choice);
        if (outcome == ChoiceOutcome::Cancelled) {
            setFailureReason("the compression dialog was cancelled");
        }
        return outcome;
    }
    choice = CompressorChoice{};
    return ChoiceOutcome::Chosen;
}

// The options that the hook starts from: the caller's when marked valid,
// else the dialog's defaults.
AVICOMPRESSOPTIONS startingOptions(const AVICOMPRESSOPTIONS& given) {
    if ((given.dwFlags & AVICOMPRESSF_VALID) != 0) {
        return given;
    }
    AVICOMPRESSOPTIONS options{};
    fillCompressOptions(CompressorChoice{}, options);
    return options;
}

}  // namespace

void setSaveOptionsHook(SaveOptionsHook hook) {
    std::lock_guard lock(gHookMutex);
    gHook = std::move(hook);
}

void* allocateOptionsBlock(size_t bytes) {
    void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (block != nullptr) {
        std::lock_guard lock(gBlocksMutex);
        gBlocks.insert(block);
    }
    return block;
}

}  // namespace avifile::api

namespace avifile {

std::vector<CompressorDescription> availableCompressors() { return codecs::compressors(); }

}  // namespace avifile

extern "C" AVIFILE_EXPORT BOOL AVISaveOptions(HWND /*hwnd*/, UINT /*uiFlags*/, int nStreams,
                                              PAVISTREAM* ppavi, LPAVICOMPRESSOPTIONS* plpOptions) {
    using namespace avifile::api;
    avifile::clearFailureReason();
    if (nStreams <= 0 || ppavi == nullptr || plpOptions == nullptr) {
        return FALSE;
    }
    for (int i = 0; i < nStreams; ++i) {
        if (plpOptions[i] == nullptr || !Registry::instance().stream(ppavi[i])) {
            return FALSE;
        }
    }
    if (const avifile::SaveOptionsHook hook = currentHook()) {
        // Every stream's options are answered before any is changed, so
        // that a cancel leaves them all as they were.
        std::vector<AVICOMPRESSOPTIONS> answers;
        for (int i = 0; i < nStreams; ++i) {
            answers.push_back(startingOptions(*plpOptions[i]));
            if (!hook(answers.back())) {
                avifile::setFailureReason("the compression dialog was cancelled");
                // Blocks the hook put in are dropped; the caller's stay.
                for (size_t j = 0; j < answers.size(); ++j) {
                    const AVICOMPRESSOPTIONS& given = *plpOptions[j];
                    if (answers[j].lpFormat != given.lpFormat) {
                        freeOptionsBlock(answers[j].lpFormat);
                    }
                    if (answers[j].lpParms != given.lpParms) {
                        freeOptionsBlock(answers[j].lpParms);
                    }
                }
                return FALSE;
            }
        }
        for (int i = 0; i < nStreams; ++i) {
            *plpOptions[i] = answers[static_cast<size_t>(i)];
        }
        return TRUE;
    }
    CompressorChoice choice;
    if (chooseWithoutHook(choice) != ChoiceOutcome::Chosen) {
        return FALSE;
    }
    for (int i = 0; i < nStreams; ++i) {
        fillCompressOptions(choice, *plpOptions[i]);
    }
    return TRUE;
}

extern "C" AVIFILE_EXPORT LONG AVISaveOptionsFree(int nStreams, LPAVICOMPRESSOPTIONS* plpOptions) {
    using namespace avifile::api;
    if (nStreams < 0 || (nStreams > 0 && plpOptions == nullptr)) {
        return AVIERR_BADPARAM;
    }
    for (int i = 0; i < nStreams; ++i) {
        AVICOMPRESSOPTIONS* options = plpOptions[i];
        if (options == nullptr) {
            continue;
        }
        freeOptionsBlock(options->lpFormat);
        freeOptionsBlock(options->lpParms);
        options->lpFormat = nullptr;
        options->cbFormat = 0;
        options->lpParms = nullptr;
        options->cbParms = 0;
    }
    return AVIERR_OK;
}
