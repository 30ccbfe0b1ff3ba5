// The layout of an uncompressed DIB frame as the caller hands it over.
#ifndef AVIFILE_CODECS_DIB_LAYOUT_H
#define AVIFILE_CODECS_DIB_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "avifile.h"

namespace avifile::codecs {

// Frames larger than this on a side are refused before any codec sees them;
// it keeps every size computation far from overflow.
constexpr LONG kLargestDibSide = 16384;

struct DibLayout {
    int width = 0;
    int height = 0;          // rows, always positive
    int bitsPerPixel = 0;    // 24 or 32
    bool bottomUp = true;    // a positive biHeight: the last row comes first
    size_t stride = 0;       // bytes per row, rounded up to four
    size_t imageBytes = 0;   // stride * height

    // The top row and the step from one row to the one below it, as
    // libavcodec and libswscale take a picture: a bottom-up DIB gives its
    // last row in memory and a negative step, so nothing needs copying.
    const uint8_t* topRow(const void* frame) const;
    int rowStep() const;
};

// The layout of a BI_RGB header of 24 or 32 bits with consistent sizes;
// false for anything else.
bool readDibLayout(const BITMAPINFOHEADER& header, DibLayout& layout);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_DIB_LAYOUT_H
