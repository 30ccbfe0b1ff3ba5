// The stream format ('strf') of a compressed video stream, as readers
// expect it in AVI: a BITMAPINFOHEADER with the codec's code, followed by
// the codec's extra data where it has some.
#ifndef AVIFILE_CODECS_COMPRESSED_FORMAT_H
#define AVIFILE_CODECS_COMPRESSED_FORMAT_H

#include <cstdint>
#include <vector>

struct AVCodecContext;

namespace avifile::codecs {

// From an opened codec context: the bits per pixel it codes (24 when it
// names none) and its extra data, for frames of width x height.
std::vector<uint8_t> compressedFormat(const AVCodecContext& codec, uint32_t fourcc, int width,
                                      int height);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_COMPRESSED_FORMAT_H
