// One recording through the plug-in's entry points.
#include "recorder.h"

#include <exception>
#include <new>
#include <vector>

#include "avifile_hooks.h"
#include "raw_layout.h"
#include "stop_signal.h"

namespace {

// What the platform layer said about the call that failed last, after a
// colon, or nothing when it gave no reason.
std::string layerReason() {
    const std::string reason = avifile::lastFailureReason();
    return reason.empty() ? std::string() : ": " + reason;
}

}  // namespace

RecordingOutcome recordMovie(const MoviePlugin& plugin, const std::string& output,
                             FrameSource& source, ProgressLine& progress,
                             ProgressReport& report, std::FILE* rawCopy) {
    RecordingOutcome outcome;
    PlanarFrame frame;
    // A source whose size is known ahead (the test picture) makes its
    // frames into the open movie; any other is read first, so that nothing
    // is created for an input without frames.
    int width = 0;
    int height = 0;
    bool haveFrame = false;
    if (!source.sizeKnownAhead(width, height)) {
        ReadStatus status = ReadStatus::Failed;
        try {
            status = source.read(frame, outcome.error);
        } catch (const std::bad_alloc&) {
            outcome.error = "not enough memory for the first frame; nothing was written";
        }
        if (status != ReadStatus::Frame) {
            outcome.stoppedBy = stopSignal();
            if (status == ReadStatus::End) {
                outcome.error = "no frames to record: the input is empty; nothing was written";
            } else if (status == ReadStatus::Interrupted) {
                outcome.error = "stopped before the first frame; nothing was written";
            }
            return outcome;
        }
        width = frame.width;
        height = frame.height;
        haveFrame = true;
    }
    MovieRecord* movie = plugin.create(output.c_str(), width, height);
    if (movie == nullptr) {
        const std::string reason = layerReason();
        outcome.error = "cannot create the movie " + output +
                        (reason.empty() ? " (the file cannot be written, the compressor was "
                                          "cancelled, or it refused the options)"
                                        : reason);
        return outcome;
    }
    outcome.created = true;
    int index = 0;
    try {
        BandRecords records;
        std::vector<uint8_t> packed;
        progress.start(source.frameCount());
        while (!stopRequested()) {
            if (!haveFrame && source.read(frame, outcome.error) != ReadStatus::Frame) {
                break;
            }
            haveFrame = false;
            records.point(frame);
            if (plugin.addFrame(movie, frame.width, frame.height, &records.stack) != 1) {
                outcome.error =
                    "frame " + std::to_string(index) + " could not be written" + layerReason();
                break;
            }
            if (rawCopy != nullptr && !outcome.copyFailed) {
                packRgb24(frame, packed);
                outcome.copyFailed = std::fwrite(packed.data(), 1, packed.size(), rawCopy) != packed.size();
            }
            ++index;
            ++outcome.framesWritten;
            progress.update(outcome.framesWritten);
            report.update(outcome.framesWritten);
        }
    } catch (const std::bad_alloc&) {
        outcome.error = "not enough memory for frame " + std::to_string(index) + " (" +
                        std::to_string(width) + "x" + std::to_string(height) + ")";
    } catch (const std::exception& failure) {
        outcome.error = "frame " + std::to_string(index) + " could not be made: " + failure.what();
    }
    outcome.stoppedBy = stopSignal();
    // Closed whatever happened above, so that the frames written are a
    // complete movie. The release that finishes the file replaces the
    // layer's reason with finishing's own, so a reason now is why it failed.
    plugin.close(movie);
    if (const std::string reason = avifile::lastFailureReason(); !reason.empty()) {
        outcome.finishError = "the movie could not be finished: " + reason +
                              "; run avirec --repair " + output;
    }
    report.finish(outcome.framesWritten);
    if (outcome.error.empty() && outcome.stoppedBy == 0) {
        progress.finish(outcome.framesWritten);
    } else {
        progress.clear();
    }
    return outcome;
}
