// Conversion of a frame of three 8-bit planes into a 24-bit bottom-up DIB:
// one host-heap buffer holding a 40-byte BITMAPINFOHEADER and the pixel rows.
#ifndef AVI_FRAME_CONVERSION_H
#define AVI_FRAME_CONVERSION_H

#include <cstdint>

#include "avi/avi_plugin.h"

constexpr int32_t kBitmapHeaderBytes = 40;

// Bytes of one row of a 24-bit DIB of the given width, rounded up to whole
// 32-bit words. Meaningful for widths from 1 to kMaxFrameWidth.
int32_t rowStride(int32_t width);

// Widest frame whose row stride still fits a signed 32-bit value:
// rowStride(715827881) is 2147483644, one pixel more would make 2^31.
constexpr int32_t kMaxFrameWidth = 715827881;

// The pixel bytes of a frame (rowStride(width) x height). False, leaving
// `bytes` untouched, when a dimension is 0 or below, the width is beyond
// kMaxFrameWidth, or the size of the whole buffer (header and rows) would not
// fit 32 bits.
bool frameImageBytes(int32_t width, int32_t height, uint32_t& bytes);

// Allocates the frame buffer on the host heap with its header filled and the
// rows not yet written (their filler bytes zeroed). Null when the size is
// refused (see frameImageBytes) or the allocation fails.
unsigned char* buildFrameBuffer(int32_t width, int32_t height);

// Writes the pixel rows of `buffer`: bottom row first, each pixel as blue,
// green, red, from the bands of `frame`. Loops over the record's width and
// height; `stride` is the row stride of the buffer. Writes only the pixels'
// bytes (not the filler) with the fastest converter that the processor runs.
void fillFrameRows(unsigned char* buffer, int32_t stride, const MovieRecord* movie,
                   const BandStack* frame);

// The plain per-pixel loop; the fast path must produce exactly its bytes.
void fillFrameRowsReference(unsigned char* buffer, int32_t stride, const MovieRecord* movie,
                            const BandStack* frame);

#endif  // AVI_FRAME_CONVERSION_H
