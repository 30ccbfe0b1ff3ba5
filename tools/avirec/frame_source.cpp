// Frames as three planes, and the sizes a movie takes.
#include "frame_source.h"

void PlanarFrame::resize(int frameWidth, int frameHeight) {
    width = frameWidth;
    height = frameHeight;
    lent[0] = lent[1] = lent[2] = nullptr;
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
