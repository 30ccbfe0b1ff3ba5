#include "api_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace apitest {

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
