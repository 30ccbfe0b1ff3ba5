// Glyph bitmaps (one row per byte, bit 4 the leftmost pixel) and drawing.
#include "glyphs.h"

#include <algorithm>
#include <array>

namespace {

struct Glyph {
    char character;
    std::array<uint8_t, kGlyphHeight> rows;
};

constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x1B, 0x11}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
};

const Glyph* findGlyph(char character) {
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.character == character) {
            return &glyph;
        }
    }
    return nullptr;
}

// Fills the part of the cell at (x, y) that lies inside the frame.
void fillCell(PlanarFrame& frame, int64_t x, int64_t y, int64_t scale, Colour colour) {
    const int64_t x0 = std::clamp<int64_t>(x, 0, frame.width);
    const int64_t x1 = std::clamp<int64_t>(x + scale, 0, frame.width);
    const int64_t y0 = std::clamp<int64_t>(y, 0, frame.height);
    const int64_t y1 = std::clamp<int64_t>(y + scale, 0, frame.height);
    for (int64_t row = y0; row < y1; ++row) {
        const auto at = static_cast<size_t>(row) * static_cast<size_t>(frame.width);
        std::fill(frame.red.begin() + at + x0, frame.red.begin() + at + x1, colour.red);
        std::fill(frame.green.begin() + at + x0, frame.green.begin() + at + x1, colour.green);
        std::fill(frame.blue.begin() + at + x0, frame.blue.begin() + at + x1, colour.blue);
    }
}

}  // namespace

int64_t textWidth(std::string_view text, int64_t scale) {
    if (text.empty()) {
        return 0;
    }
    return (static_cast<int64_t>(text.size()) * (kGlyphWidth + 1) - 1) * scale;
}

void drawText(PlanarFrame& frame, int64_t x, int64_t y, int64_t scale, std::string_view text,
              Colour colour) {
    for (char character : text) {
        if (x >= frame.width) {
            break;
        }
        if (const Glyph* glyph = findGlyph(character)) {
            for (int row = 0; row < kGlyphHeight; ++row) {
                for (int column = 0; column < kGlyphWidth; ++column) {
                    if ((glyph->rows[row] >> (kGlyphWidth - 1 - column)) & 1) {
                        fillCell(frame, x + column * scale, y + row * scale, scale, colour);
                    }
                }
            }
        }
        x += (kGlyphWidth + 1) * scale;
    }
}
