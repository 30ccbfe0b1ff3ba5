// Drawing of the test picture.
#include "test_pattern.h"

#include <algorithm>
#include <string>

#include "glyphs.h"

namespace {

// Frames that a bar takes to cross the picture once.
constexpr int kSweepFrames = 60;

void fillRect(PlanarFrame& frame, int x0, int y0, int x1, int y1, Colour colour) {
    x0 = std::clamp(x0, 0, frame.width);
    x1 = std::clamp(x1, 0, frame.width);
    y0 = std::clamp(y0, 0, frame.height);
    y1 = std::clamp(y1, 0, frame.height);
    for (int y = y0; y < y1; ++y) {
        const size_t row = static_cast<size_t>(y) * frame.width;
        std::fill(frame.red.begin() + row + x0, frame.red.begin() + row + x1, colour.red);
        std::fill(frame.green.begin() + row + x0, frame.green.begin() + row + x1, colour.green);
        std::fill(frame.blue.begin() + row + x0, frame.blue.begin() + row + x1, colour.blue);
    }
}

void drawBackground(PlanarFrame& frame) {
    const int w = frame.width;
    const int h = frame.height;
    for (int y = 0; y < h; ++y) {
        const auto blue = static_cast<uint8_t>(h > 1 ? 255 * y / (h - 1) : 0);
        const size_t row = static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            frame.red[row + x] = static_cast<uint8_t>(w > 1 ? 255 * x / (w - 1) : 0);
            frame.green[row + x] = 48;
            frame.blue[row + x] = blue;
        }
    }
}

void drawColourStrip(PlanarFrame& frame) {
    const Colour patches[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    const char* labels[] = {"R", "G", "B", "W"};
    const int stripHeight = std::max(1, frame.height / 6);
    const int scale = std::max(1, stripHeight / (2 * kGlyphHeight));
    for (int i = 0; i < 4; ++i) {
        const int x0 = frame.width * i / 4;
        const int x1 = frame.width * (i + 1) / 4;
        fillRect(frame, x0, 0, x1, stripHeight, patches[i]);
        const int labelX = (x0 + x1 - textWidth(labels[i], scale)) / 2;
        const int labelY = (stripHeight - kGlyphHeight * scale) / 2;
        drawText(frame, labelX, labelY, scale, labels[i], Colour{0, 0, 0});
    }
    drawText(frame, scale * 2, stripHeight + scale * 2, scale, "TOP", Colour{255, 255, 255});
}

void drawMovingBars(int index, PlanarFrame& frame) {
    const int phase = index % kSweepFrames;
    const int barWidth = std::max(2, frame.width / 48);
    const int barX = (frame.width - barWidth) * phase / (kSweepFrames - 1);
    fillRect(frame, barX, 0, barX + barWidth, frame.height, Colour{255, 255, 255});
    // The horizontal bar sweeps the part below the colour strip.
    const int top = std::max(1, frame.height / 6);
    const int barHeight = std::max(2, frame.height / 48);
    const int barY = top + std::max(0, frame.height - top - barHeight) * phase / (kSweepFrames - 1);
    fillRect(frame, 0, barY, frame.width, barY + barHeight, Colour{255, 255, 0});
}

void drawFrameNumber(int index, PlanarFrame& frame) {
    const std::string number = std::to_string(index);
    const int scale = std::max(1, frame.height / (3 * kGlyphHeight));
    const int textW = textWidth(number, scale);
    const int textH = kGlyphHeight * scale;
    const int x = (frame.width - textW) / 2;
    const int y = (frame.height - textH) / 2;
    fillRect(frame, x - scale, y - scale, x + textW + scale, y + textH + scale, Colour{0, 0, 0});
    drawText(frame, x, y, scale, number, Colour{255, 255, 255});
}

}  // namespace

void drawTestPattern(int index, PlanarFrame& frame) {
    drawBackground(frame);
    drawMovingBars(index, frame);
    drawColourStrip(frame);
    drawFrameNumber(index, frame);
}

bool TestPatternSource::read(int index, PlanarFrame& frame, std::string& /*error*/) {
    if (frame.width != width_ || frame.height != height_) {
        frame.resize(width_, height_);
    }
    drawTestPattern(index, frame);
    return true;
}
