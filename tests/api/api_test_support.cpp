#include "api_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace apitest {

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

std::vector<uint8_t> dibFormatBlock(const BITMAPINFOHEADER& header, uint32_t paletteEntries) {
    std::vector<uint8_t> block(sizeof header + paletteEntries * 4);
    std::memcpy(block.data(), &header, sizeof header);
    for (uint32_t i = 0; i < paletteEntries; ++i) {
        block[sizeof header + i * 4 + 0] = static_cast<uint8_t>(i);
        block[sizeof header + i * 4 + 1] = static_cast<uint8_t>(255 - i);
        block[sizeof header + i * 4 + 2] = static_cast<uint8_t>(i * 7);
    }
    return block;
}

uint32_t stride24(int32_t width) { return ((static_cast<uint32_t>(width) * 24 + 31) / 32) * 4; }

std::vector<uint8_t> dibFrame(int32_t width, int32_t height, int seed) {
    const uint32_t stride = stride24(width);
    std::vector<uint8_t> frame(static_cast<size_t>(stride) * static_cast<size_t>(height), 0);
    for (int32_t row = 0; row < height; ++row) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = frame.data() + static_cast<size_t>(row) * stride + static_cast<size_t>(x) * 3;
            pixel[0] = static_cast<uint8_t>(x * 3 + seed);         // blue
            pixel[1] = static_cast<uint8_t>(row * 5 + seed * 7);   // green
            pixel[2] = static_cast<uint8_t>((x ^ row) + seed * 13);  // red
        }
    }
    return frame;
}

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

ScopedEnvironment::ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        previous_ = old;
    }
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

StdinFromNull::StdinFromNull() : saved_(dup(STDIN_FILENO)) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
}

StdinFromNull::~StdinFromNull() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
}

}  // namespace apitest
