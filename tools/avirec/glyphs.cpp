// Glyph bitmaps (one row per byte, bit 4 the leftmost pixel) and drawing.
#include "glyphs.h"

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

void fillCell(PlanarFrame& frame, int x, int y, int scale, Colour colour) {
    for (int row = y; row < y + scale; ++row) {
        if (row < 0 || row >= frame.height) {
            continue;
        }
        for (int column = x; column < x + scale; ++column) {
            if (column < 0 || column >= frame.width) {
                continue;
            }
            const size_t at = static_cast<size_t>(row) * frame.width + column;
            frame.red[at] = colour.red;
            frame.green[at] = colour.green;
            frame.blue[at] = colour.blue;
        }
    }
}

}  // namespace

int textWidth(std::string_view text, int scale) {
    if (text.empty()) {
        return 0;
    }
    return (static_cast<int>(text.size()) * (kGlyphWidth + 1) - 1) * scale;
}

void drawText(PlanarFrame& frame, int x, int y, int scale, std::string_view text, Colour colour) {
    for (char character : text) {
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
