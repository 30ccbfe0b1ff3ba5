// Checks of the uncompressed DIB headers that Full Frames and the codecs take.
#ifndef AVIFILE_API_DIB_FORMAT_H
#define AVIFILE_API_DIB_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "avifile.h"

namespace avifile::api {

// Bytes of one row of a DIB of this width and depth, rounded up to 4 bytes.
uint64_t dibRowStride(int64_t width, unsigned bitCount);

// Accepts a BI_RGB, bottom-up DIB header of 8, 16, 24 or 32 bits, followed
// by its colour table where it has one (8 bits: biClrUsed entries, or 256
// when 0), whose sizes agree: biSize at least 40 and within the block, width
// and height above 0, one plane, biSizeImage 0 or the rows' size. Gives the
// size of one frame in `imageBytes`. AVIERR_BADFORMAT otherwise.
HRESULT checkUncompressedDib(const void* format, size_t bytes, uint32_t& imageBytes);

}  // namespace avifile::api

#endif  // AVIFILE_API_DIB_FORMAT_H
