#include "test_picture.h"

#include <algorithm>
#include <cmath>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// The colour at (x, y) of frame `index`, top row y = 0.
Rgb colourAt(int x, int y, int width, int height, int index) {
    const int square = std::max(4, std::min(width, height) / 4);
    // Even positions, so that the square's edges fall between the 2x2
    // blocks of 4:2:0 chroma; the picture measures the codecs, not that.
    const int left = ((index * 4) % std::max(1, width - square + 1)) & ~1;
    const int top = ((index * 2) % std::max(1, height - square + 1)) & ~1;
    if (x >= left && x < left + square && y >= top && y < top + square) {
        // A textured square: a checker of two colours.
        return ((x - left) / 4 + (y - top) / 4) % 2 == 0 ? Rgb{230, 40, 40} : Rgb{250, 220, 60};
    }
    if (x < width / 4 && y >= height - height / 4) {
        return Rgb{20, 90, 160};  // the still corner
    }
    const double fx = static_cast<double>(x) / std::max(1, width - 1);
    const double fy = static_cast<double>(y) / std::max(1, height - 1);
    const double wave = 0.5 + 0.5 * std::sin(6.0 * fx + 0.3 * index);
    return Rgb{static_cast<uint8_t>(40 + 180 * fx), static_cast<uint8_t>(30 + 190 * fy),
               static_cast<uint8_t>(50 + 150 * wave)};
}

struct NamedColour {
    Rgb rgb;
    const char* name;
};

constexpr NamedColour kBars[] = {
    {{255, 0, 0}, "red"},       {{0, 255, 0}, "green"},     {{0, 0, 255}, "blue"},
    {{0, 255, 255}, "cyan"},    {{255, 0, 255}, "magenta"}, {{255, 255, 0}, "yellow"},
    {{255, 255, 255}, "white"}, {{0, 0, 0}, "black"},       {{64, 64, 64}, "grey 64"},
    {{128, 128, 128}, "grey 128"}, {{192, 192, 192}, "grey 192"}, {{32, 32, 32}, "grey 32"},
};
constexpr int kBarColumns = 4;
constexpr int kBarRows = 3;

Rgb barAt(int x, int y, int width, int height) {
    return kBars[(y * kBarRows / height) * kBarColumns + x * kBarColumns / width].rgb;
}

}  // namespace

std::vector<TestPicture::Patch> TestPicture::colourPatches() const {
    std::vector<Patch> patches;
    for (int i = 0; i < kBarColumns * kBarRows; ++i) {
        const int column = i % kBarColumns;
        const int row = i / kBarColumns;
        const NamedColour& bar = kBars[i];
        const int x = (2 * column + 1) * width / (2 * kBarColumns);
        patches.push_back({x, (2 * row + 1) * height / (2 * kBarRows), bar.rgb.r, bar.rgb.g,
                           bar.rgb.b, bar.name});
        // And next to the first and the last row of the frame, which the
        // conversion treats apart from the rest.
        if (row == 0 || row == kBarRows - 1) {
            patches.push_back({x, row == 0 ? 2 : height - 3, bar.rgb.r, bar.rgb.g, bar.rgb.b,
                               bar.name});
        }
    }
    return patches;
}

BITMAPINFOHEADER TestPicture::header() const {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = width;
    h.biHeight = topDown ? -height : height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitsPerPixel);
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(imageBytes());
    return h;
}

size_t TestPicture::stride() const {
    return (static_cast<size_t>(width) * bitsPerPixel / 8 + 3) & ~size_t{3};
}

size_t TestPicture::imageBytes() const { return stride() * static_cast<size_t>(height); }

std::vector<uint8_t> TestPicture::frame(int index) const {
    std::vector<uint8_t> bytes(imageBytes(), 0x5A);  // row padding too
    const int pixelBytes = bitsPerPixel / 8;
    for (int y = 0; y < height; ++y) {
        const int row = topDown ? y : height - 1 - y;
        uint8_t* out = bytes.data() + static_cast<size_t>(row) * stride();
        for (int x = 0; x < width; ++x) {
            const Rgb c = colourBars ? barAt(x, y, width, height)
                                     : colourAt(x, y, width, height, index);
            uint8_t* pixel = out + static_cast<size_t>(x) * pixelBytes;
            pixel[0] = c.b;
            pixel[1] = c.g;
            pixel[2] = c.r;
            if (pixelBytes == 4) {
                pixel[3] = static_cast<uint8_t>(x + y);
            }
        }
    }
    return bytes;
}

std::vector<uint8_t> TestPicture::rgbFrame(int index) const {
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = colourBars ? barAt(x, y, width, height)
                                     : colourAt(x, y, width, height, index);
            rgb.insert(rgb.end(), {c.r, c.g, c.b});
        }
    }
    return rgb;
}
