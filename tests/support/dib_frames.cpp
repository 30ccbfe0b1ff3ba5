#include "support/dib_frames.h"

#include <algorithm>
#include <cstring>

namespace dibtest {

BITMAPINFOHEADER dibHeader(int32_t width, int32_t height, uint16_t bitCount) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = bitCount;
    header.biCompression = BI_RGB;
    const uint64_t stride = ((static_cast<uint64_t>(width) * bitCount + 31) / 32) * 4;
    header.biSizeImage = static_cast<DWORD>(stride * static_cast<uint64_t>(height < 0 ? -height : height));
    return header;
}

uint32_t stride24(int32_t width) { return ((static_cast<uint32_t>(width) * 24 + 31) / 32) * 4; }

std::vector<uint8_t> rgbRowsOf(const std::vector<uint8_t>& frame, int32_t width, int32_t height) {
    const uint32_t stride = stride24(width);
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int32_t top = 0; top < height; ++top) {
        const uint8_t* row = frame.data() + static_cast<size_t>(height - 1 - top) * stride;
        for (int32_t x = 0; x < width; ++x) {
            rgb.push_back(row[x * 3 + 2]);
            rgb.push_back(row[x * 3 + 1]);
            rgb.push_back(row[x * 3 + 0]);
        }
    }
    return rgb;
}

AVISTREAMINFOA videoInfo(int32_t width, int32_t height, DWORD rate, const char* name) {
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = 0;
    info.dwScale = 1;
    info.dwRate = rate;
    info.dwSuggestedBufferSize = stride24(width) * static_cast<uint32_t>(height);
    info.rcFrame = {0, 0, width, height};
    std::memcpy(info.szName, name, std::min(std::strlen(name), sizeof info.szName));
    return info;
}

}  // namespace dibtest
