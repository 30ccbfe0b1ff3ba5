#include "codecs/cinepak_bands.h"

#include <algorithm>

namespace avifile::codecs {
namespace {

// A Cinepak frame header: flags (bit 0: not a key frame), a 24-bit size
// including this header, width, height and number of strips, big-endian.
constexpr size_t kFrameHeader = 10;
constexpr size_t kLargestFrame = (size_t{1} << 24) - 1;

unsigned readBig16(const uint8_t* at) { return static_cast<unsigned>(at[0] << 8 | at[1]); }

void writeBig16(uint8_t* at, unsigned value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

}  // namespace

int cinepakBands(int height, int cores) {
    return cores > 1 && height >= 96 ? 3 : 1;
}

std::vector<Band> splitIntoBands(int height, int bands) {
    std::vector<Band> split;
    const int rows = ((height / bands) + 3) & ~3;
    int top = 0;
    for (int i = 0; i < bands && top < height; ++i) {
        const int these = i + 1 == bands ? height - top : std::min(rows, height - top);
        split.push_back({top, these});
        top += these;
    }
    return split;
}

bool joinCinepakFrames(std::span<const std::span<const uint8_t>> bands, bool keyFrame, int width,
                       int height, std::vector<uint8_t>& joined) {
    size_t total = kFrameHeader;
    unsigned strips = 0;
    for (const auto& band : bands) {
        if (band.size() < kFrameHeader) {
            return false;
        }
        total += band.size() - kFrameHeader;
        strips += readBig16(band.data() + 8);
    }
    if (total > kLargestFrame || strips > 0xFFFF || width > 0xFFFF || height > 0xFFFF) {
        return false;
    }
    joined.resize(total);
    uint8_t* header = joined.data();
    header[0] = keyFrame ? 0x00 : 0x01;
    header[1] = static_cast<uint8_t>(total >> 16);
    header[2] = static_cast<uint8_t>(total >> 8);
    header[3] = static_cast<uint8_t>(total);
    writeBig16(header + 4, static_cast<unsigned>(width));
    writeBig16(header + 6, static_cast<unsigned>(height));
    writeBig16(header + 8, strips);
    size_t at = kFrameHeader;
    for (const auto& band : bands) {
        std::copy(band.begin() + kFrameHeader, band.end(), joined.begin() + static_cast<std::ptrdiff_t>(at));
        at += band.size() - kFrameHeader;
    }
    return true;
}

}  // namespace avifile::codecs
