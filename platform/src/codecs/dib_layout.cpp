#include "codecs/dib_layout.h"

namespace avifile::codecs {

bool readDibLayout(const BITMAPINFOHEADER& header, DibLayout& layout) {
    if (header.biSize < sizeof(BITMAPINFOHEADER) || header.biPlanes != 1 ||
        header.biCompression != BI_RGB ||
        (header.biBitCount != 24 && header.biBitCount != 32)) {
        return false;
    }
    if (header.biWidth <= 0 || header.biWidth > kLargestDibSide || header.biHeight == 0 ||
        header.biHeight > kLargestDibSide || header.biHeight < -kLargestDibSide) {
        return false;
    }
    DibLayout read;
    read.width = header.biWidth;
    read.height = header.biHeight > 0 ? header.biHeight : -header.biHeight;
    read.bottomUp = header.biHeight > 0;
    read.bitsPerPixel = header.biBitCount;
    read.stride = (static_cast<size_t>(read.width) * read.bitsPerPixel / 8 + 3) & ~size_t{3};
    read.imageBytes = read.stride * static_cast<size_t>(read.height);
    // A zero image size is allowed for BI_RGB; any other must match.
    if (header.biSizeImage != 0 && header.biSizeImage != read.imageBytes) {
        return false;
    }
    layout = read;
    return true;
}

const uint8_t* DibLayout::topRow(const void* frame) const {
    const auto* bytes = static_cast<const uint8_t*>(frame);
    return bottomUp ? bytes + stride * static_cast<size_t>(height - 1) : bytes;
}

int DibLayout::rowStep() const {
    const int step = static_cast<int>(stride);
    return bottomUp ? -step : step;
}

}  // namespace avifile::codecs
