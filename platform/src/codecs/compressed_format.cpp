#include "codecs/compressed_format.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "avifile.h"

namespace avifile::codecs {

std::vector<uint8_t> compressedFormat(const AVCodecContext& codec, uint32_t fourcc, int width,
                                      int height) {
    const int bits = codec.bits_per_coded_sample > 0 ? codec.bits_per_coded_sample : 24;
    const size_t extra = codec.extradata != nullptr && codec.extradata_size > 0
                             ? static_cast<size_t>(codec.extradata_size)
                             : 0;
    BITMAPINFOHEADER header{};
    header.biSize = static_cast<DWORD>(sizeof header + extra);
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bits);
    header.biCompression = fourcc;
    // The size a frame of this depth would take uncompressed, rounded up to
    // whole bytes, as other writers give it.
    header.biSizeImage = static_cast<DWORD>(
        (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * bits + 7) / 8);
    header.biXPelsPerMeter = 0;
    header.biYPelsPerMeter = 0;
    header.biClrUsed = 0;
    header.biClrImportant = 0;

    std::vector<uint8_t> format(sizeof header + extra);
    std::memcpy(format.data(), &header, sizeof header);
    if (extra != 0) {
        std::memcpy(format.data() + sizeof header, codec.extradata, extra);
    }
    return format;
}

}  // namespace avifile::codecs
