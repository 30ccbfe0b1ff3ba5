// A moving test picture as the plug-in hands frames over: uncompressed DIB
// rows, bottom row first, each row padded to four bytes.
#ifndef TESTS_PICTURE_TEST_PICTURE_H
#define TESTS_PICTURE_TEST_PICTURE_H

#include <cstdint>
#include <vector>

#include "avifile.h"

struct TestPicture {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 24;
    bool topDown = false;  // a negative biHeight: the first row is the top
    // Instead of the moving picture, a still one of flat areas in a 4 x 3
    // grid: the primaries, their complements, white, black and greys.
    bool colourBars = false;

    BITMAPINFOHEADER header() const;
    size_t stride() const;
    size_t imageBytes() const;

    // Frame `index`: smooth colour ramps, a square that moves a few pixels
    // each frame, and a still corner (so inter-frame codecs find blocks to
    // skip). The byte after each 32-bit pixel is filled as well, with a
    // value readers must ignore.
    std::vector<uint8_t> frame(int index) const;

    // The same frame as packed rgb24, top row first: what ffmpeg decodes.
    std::vector<uint8_t> rgbFrame(int index) const;

    // Where the colour bars are measured, and the colour there: the centre
    // of each flat area, and points two rows from the top and bottom edges.
    struct Patch {
        int x, y;
        uint8_t r, g, b;
        const char* name;
    };
    std::vector<Patch> colourPatches() const;
};

#endif  // TESTS_PICTURE_TEST_PICTURE_H
