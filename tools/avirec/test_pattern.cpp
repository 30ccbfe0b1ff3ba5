// Drawing of the test picture.
#include "test_pattern.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "glyphs.h"

namespace {

// Frames that a bar takes to cross the picture once.
constexpr int kSweepFrames = 60;

void fillRect(PlanarFrame& frame, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Colour colour) {
    x0 = std::clamp<int64_t>(x0, 0, frame.width);
    x1 = std::clamp<int64_t>(x1, 0, frame.width);
    y0 = std::clamp<int64_t>(y0, 0, frame.height);
    y1 = std::clamp<int64_t>(y1, 0, frame.height);
    for (int64_t y = y0; y < y1; ++y) {
        const auto row = static_cast<size_t>(y) * static_cast<size_t>(frame.width);
        std::fill(frame.red.begin() + row + x0, frame.red.begin() + row + x1, colour.red);
        std::fill(frame.green.begin() + row + x0, frame.green.begin() + row + x1, colour.green);
        std::fill(frame.blue.begin() + row + x0, frame.blue.begin() + row + x1, colour.blue);
    }
}

// 0 at `at` = 0 rising to 255 at `at` = last; 64-bit, as 255 times a
// coordinate can pass the range of int.
uint8_t ramp(int64_t at, int64_t last) {
    return static_cast<uint8_t>(last > 0 ? 255 * at / last : 0);
}

void drawBackground(PlanarFrame& frame) {
    const int64_t w = frame.width;
    const int64_t h = frame.height;
    // One row of red, copied into every row.
    for (int64_t x = 0; x < w; ++x) {
        frame.red[static_cast<size_t>(x)] = ramp(x, w - 1);
    }
    for (int64_t y = 0; y < h; ++y) {
        const auto row = static_cast<size_t>(y) * static_cast<size_t>(w);
        if (y > 0) {
            std::copy_n(frame.red.begin(), w, frame.red.begin() + row);
        }
        std::fill_n(frame.green.begin() + row, w, uint8_t{48});
        std::fill_n(frame.blue.begin() + row, w, ramp(y, h - 1));
    }
}

// The largest scale, at most `wanted`, at which `text` with a margin of
// `margin` cells on each side fits `width` x `height`; 0 when it does not
// fit even at scale 1, and the text is then left out.
int64_t fittingScale(std::string_view text, int64_t wanted, int margin, int64_t width,
                     int64_t height) {
    const int64_t cellsWide = textWidth(text, 1) + 2 * margin;
    const int64_t cellsHigh = kGlyphHeight + 2 * margin;
    return std::min({wanted, width / cellsWide, height / cellsHigh});
}

void drawColourStrip(PlanarFrame& frame) {
    const Colour patches[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    const char* labels[] = {"R", "G", "B", "W"};
    const int64_t width = frame.width;
    const int64_t stripHeight = std::max<int64_t>(1, frame.height / 6);
    const int64_t wanted = std::max<int64_t>(1, stripHeight / (2 * kGlyphHeight));
    for (int i = 0; i < 4; ++i) {
        const int64_t x0 = width * i / 4;
        const int64_t x1 = width * (i + 1) / 4;
        fillRect(frame, x0, 0, x1, stripHeight, patches[i]);
        const int64_t scale = fittingScale(labels[i], wanted, 0, x1 - x0, stripHeight);
        if (scale > 0) {
            drawText(frame, (x0 + x1 - textWidth(labels[i], scale)) / 2,
                     (stripHeight - kGlyphHeight * scale) / 2, scale, labels[i], Colour{0, 0, 0});
        }
    }
    // "TOP" below the strip, two cells in from the left.
    const int64_t scale = fittingScale("TOP", wanted, 2, width, frame.height - stripHeight);
    if (scale > 0) {
        drawText(frame, scale * 2, stripHeight + scale * 2, scale, "TOP", Colour{255, 255, 255});
    }
}

void drawMovingBars(int index, PlanarFrame& frame) {
    const int64_t width = frame.width;
    const int64_t height = frame.height;
    const int64_t phase = index % kSweepFrames;
    const int64_t barWidth = std::max<int64_t>(2, width / 48);
    const int64_t barX = std::max<int64_t>(0, width - barWidth) * phase / (kSweepFrames - 1);
    fillRect(frame, barX, 0, barX + barWidth, height, Colour{255, 255, 255});
    // The horizontal bar sweeps the part below the colour strip.
    const int64_t top = std::max<int64_t>(1, height / 6);
    const int64_t barHeight = std::max<int64_t>(2, height / 48);
    const int64_t barY =
        top + std::max<int64_t>(0, height - top - barHeight) * phase / (kSweepFrames - 1);
    fillRect(frame, 0, barY, width, barY + barHeight, Colour{255, 255, 0});
}

// The frame number in white on a black box with a margin of one cell.
void drawFrameNumber(int index, PlanarFrame& frame) {
    const std::string number = std::to_string(index);
    const int64_t wanted = std::max<int64_t>(1, frame.height / (3 * kGlyphHeight));
    const int64_t scale = fittingScale(number, wanted, 1, frame.width, frame.height);
    if (scale == 0) {
        return;
    }
    const int64_t textW = textWidth(number, scale);
    const int64_t textH = kGlyphHeight * scale;
    const int64_t x = (frame.width - textW) / 2;
    const int64_t y = (frame.height - textH) / 2;
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

ReadStatus TestPatternSource::read(PlanarFrame& frame, std::string& /*error*/) {
    if (next_ >= frames_) {
        return ReadStatus::End;
    }
    if (frame.width != width_ || frame.height != height_) {
        frame.resize(width_, height_);
    }
    drawTestPattern(next_++, frame);
    return ReadStatus::Frame;
}
