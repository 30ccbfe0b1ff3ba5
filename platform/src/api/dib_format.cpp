// Validation of uncompressed DIB headers.
#include "api/dib_format.h"

#include <cstring>

namespace avifile::api {
namespace {

constexpr DWORD kHeaderBytes = sizeof(BITMAPINFOHEADER);
constexpr DWORD kMaxPaletteEntries = 256;
constexpr DWORD kPaletteEntryBytes = 4;

bool isSupportedDepth(unsigned bitCount) {
    return bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32;
}

}  // namespace

uint64_t dibRowStride(int64_t width, unsigned bitCount) {
    return ((static_cast<uint64_t>(width) * bitCount + 31) / 32) * 4;
}

HRESULT checkUncompressedDib(const void* format, size_t bytes, uint32_t& imageBytes) {
    if (format == nullptr || bytes < kHeaderBytes) {
        return AVIERR_BADFORMAT;
    }
    BITMAPINFOHEADER header;
    std::memcpy(&header, format, sizeof header);  // the caller's block may be unaligned
    if (header.biSize < kHeaderBytes || header.biSize > bytes) {
        return AVIERR_BADFORMAT;
    }
    if (header.biCompression != BI_RGB || header.biPlanes != 1 ||
        !isSupportedDepth(header.biBitCount)) {
        return AVIERR_BADFORMAT;
    }
    if (header.biWidth <= 0 || header.biHeight <= 0) {
        return AVIERR_BADFORMAT;
    }
    DWORD paletteEntries = header.biClrUsed;
    if (header.biBitCount == 8 && paletteEntries == 0) {
        paletteEntries = kMaxPaletteEntries;
    }
    if (paletteEntries > kMaxPaletteEntries ||
        bytes - header.biSize < static_cast<size_t>(paletteEntries) * kPaletteEntryBytes) {
        return AVIERR_BADFORMAT;
    }
    const uint64_t image = dibRowStride(header.biWidth, header.biBitCount) *
                           static_cast<uint64_t>(header.biHeight);
    if (image > UINT32_MAX) {
        return AVIERR_BADFORMAT;
    }
    if (header.biSizeImage != 0 && header.biSizeImage != image) {
        return AVIERR_BADFORMAT;
    }
    imageBytes = static_cast<uint32_t>(image);
    return AVIERR_OK;
}

}  // namespace avifile::api
