// A small built-in bitmap font for the test picture: digits and a few
// capital letters, 5 x 7 cells.
#ifndef AVIREC_GLYPHS_H
#define AVIREC_GLYPHS_H

#include <cstdint>
#include <string_view>

#include "frame_source.h"

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

struct Colour {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// Draws `text` with its top-left corner at (x, y), each font cell `scale`
// pixels square and one cell of space between characters. Characters the
// font lacks are left blank; parts outside the frame are clipped, and the
// work done is in proportion to the pixels drawn.
void drawText(PlanarFrame& frame, int64_t x, int64_t y, int64_t scale, std::string_view text,
              Colour colour);

// Width in pixels of `text` drawn at `scale`.
int64_t textWidth(std::string_view text, int64_t scale);

#endif  // AVIREC_GLYPHS_H
