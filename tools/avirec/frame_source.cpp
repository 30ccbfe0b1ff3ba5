// Choice of the frame source.
#include "frame_source.h"

#include "image_frames.h"
#include "input_names.h"
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

uint64_t frameBitmapBytes(int width, int height) {
    const uint64_t row = (uint64_t{3} * static_cast<uint64_t>(width) + 3) / 4 * 4;
    return row * static_cast<uint64_t>(height);
}

bool frameFitsMovie(int width, int height) {
    return width > 0 && height > 0 && frameBitmapBytes(width, height) <= kMaxFrameBytes;
}

std::unique_ptr<FrameSource> openFrameSource(const RecorderOptions& options, std::string& error) {
    if (!options.rawFormat.empty()) {
        return openRawFrames(options.rawPath, options.rawFormat, options.width, options.height,
                             options.framesGiven ? options.frames : -1, error);
    }
    if (!options.inputs.empty()) {
        std::vector<std::string> names;
        if (!expandInputNames(options.inputs, options.sortInputs, names, error)) {
            return nullptr;
        }
        return openDecodedFrames(names, error);
    }
    return std::make_unique<TestPatternSource>(options.width, options.height, options.frames);
}
