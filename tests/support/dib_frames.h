// DIB frames as the API and container tests write them: the format header,
// the bytes of a 24-bit row, the rows a reader decodes from a 24-bit frame,
// and the video stream header that the plug-in fills for such frames.
#ifndef TESTS_SUPPORT_DIB_FRAMES_H
#define TESTS_SUPPORT_DIB_FRAMES_H

#include <cstdint>
#include <vector>

#include "avifile.h"

namespace dibtest {

// A BI_RGB header of this size and depth, biSizeImage filled in.
BITMAPINFOHEADER dibHeader(int32_t width, int32_t height, uint16_t bitCount = 24);

// Bytes of one row of a 24-bit DIB, padded to four.
uint32_t stride24(int32_t width);

// What a reader gives back for a 24-bit bottom-up DIB frame: packed RGB,
// top row first, red first.
std::vector<uint8_t> rgbRowsOf(const std::vector<uint8_t>& frame, int32_t width, int32_t height);

// The stream header that the plug-in fills for a width x height movie:
// scale 1, the given rate, the frame rectangle of the picture, the name.
AVISTREAMINFOA videoInfo(int32_t width, int32_t height, DWORD rate = 15, const char* name = "");

}  // namespace dibtest

#endif  // TESTS_SUPPORT_DIB_FRAMES_H
