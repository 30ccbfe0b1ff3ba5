// One recording through the plug-in's entry points.
#include "recorder.h"

namespace {

// The host's records of one frame: a band stack over three band blocks that
// point into the frame's planes.
struct HostFrame {
    BandBlock red{};
    BandBlock green{};
    BandBlock blue{};
    BandBlock* bands[3] = {&red, &green, &blue};
    BandStack stack{};

    HostFrame() { stack.bands = bands; }
    HostFrame(const HostFrame&) = delete;
    HostFrame& operator=(const HostFrame&) = delete;

    void point(const PlanarFrame& frame) {
        red.data = frame.red.data();
        green.data = frame.green.data();
        blue.data = frame.blue.data();
    }
};

}  // namespace

RecordingOutcome recordMovie(const MoviePlugin& plugin, const std::string& output,
                             FrameSource& source, ProgressLine& progress) {
    RecordingOutcome outcome;
    MovieRecord* movie = plugin.create(output.c_str(), source.width(), source.height());
    if (movie == nullptr) {
        outcome.error = "cannot create the movie " + output +
                        " (the file cannot be written, the compressor was cancelled, or it "
                        "refused the options)";
        return outcome;
    }
    outcome.created = true;
    PlanarFrame frame;
    HostFrame hostFrame;
    progress.start(source.frameCount());
    for (int index = 0; index < source.frameCount(); ++index) {
        if (!source.read(index, frame, outcome.error)) {
            break;
        }
        hostFrame.point(frame);
        if (plugin.addFrame(movie, frame.width, frame.height, &hostFrame.stack) != 1) {
            outcome.error = "frame " + std::to_string(index) + " could not be written to " + output;
            break;
        }
        ++outcome.framesWritten;
        progress.update(outcome.framesWritten);
    }
    plugin.close(movie);
    if (outcome.error.empty()) {
        progress.finish(outcome.framesWritten);
    } else {
        progress.clear();
    }
    return outcome;
}
