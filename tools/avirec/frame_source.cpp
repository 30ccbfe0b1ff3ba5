// Choice of the frame source.
#include "frame_source.h"

#include "image_frames.h"
#include "raw_frames.h"
#include "test_pattern.h"

void PlanarFrame::resize(int frameWidth, int frameHeight) {
    width = frameWidth;
    height = frameHeight;
    const size_t samples = static_cast<size_t>(frameWidth) * static_cast<size_t>(frameHeight);
    red.resize(samples);
    green.resize(samples);
    blue.resize(samples);
}

std::unique_ptr<FrameSource> openFrameSource(const RecorderOptions& options, std::string& error) {
    if (!options.images.empty()) {
        return openImageFrames(options.images, error);
    }
    if (!options.rawGbrp.empty()) {
        return openRawGbrpFrames(options.rawGbrp, options.width, options.height,
                                 options.framesGiven ? options.frames : -1, error);
    }
    return std::make_unique<TestPatternSource>(options.width, options.height, options.frames);
}
