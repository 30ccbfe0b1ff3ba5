#include "container_fixtures.h"

#include <algorithm>
#include <cstring>

namespace fixtures {

AVISTREAMINFOA videoInfo(int width, int height, uint32_t rate, const char* name) {
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = rate;
    info.dwSuggestedBufferSize = static_cast<DWORD>(rowStride(width) * static_cast<size_t>(height));
    info.rcFrame = RECT{0, 0, width, height};
    const size_t length = std::min(std::strlen(name), sizeof info.szName);
    std::memcpy(info.szName, name, length);
    return info;
}

BITMAPINFOHEADER dibFormat(int width, int height, uint16_t bits) {
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = width;
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bits;
    format.biCompression = BI_RGB;
    format.biSizeImage = static_cast<DWORD>(((width * bits + 31) / 32) * 4 * height);
    return format;
}

size_t rowStride(int width) { return static_cast<size_t>(((width * 24 + 31) / 32) * 4); }

std::vector<uint8_t> dibFrame(int width, int height, int frameNumber) {
    const size_t stride = rowStride(width);
    std::vector<uint8_t> frame(stride * static_cast<size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width * 3; ++x) {
            frame[static_cast<size_t>(y) * stride + static_cast<size_t>(x)] =
                static_cast<uint8_t>(frameNumber * 37 + y * 11 + x * 3 + (x % 3) * 80);
        }
    }
    return frame;
}

std::vector<uint8_t> expectedRgb(int width, int height, const std::vector<uint8_t>& dib) {
    const size_t stride = rowStride(width);
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int row = 0; row < height; ++row) {
        const uint8_t* source = dib.data() + static_cast<size_t>(height - 1 - row) * stride;
        for (int x = 0; x < width; ++x) {
            rgb.push_back(source[x * 3 + 2]);
            rgb.push_back(source[x * 3 + 1]);
            rgb.push_back(source[x * 3 + 0]);
        }
    }
    return rgb;
}

std::unique_ptr<avifile::AviWriter> videoWriter(std::unique_ptr<avifile::ByteSink> sink,
                                                int width, int height,
                                                const avifile::ContainerSettings& settings,
                                                const char* name) {
    auto writer = std::make_unique<avifile::AviWriter>(std::move(sink), settings);
    const int stream = writer->addStream(videoInfo(width, height, 15, name));
    const BITMAPINFOHEADER format = dibFormat(width, height);
    writer->setFormat(stream, &format, sizeof format);
    return writer;
}

bool LimitedSink::append(std::span<const avifile::ConstBuffer> parts) {
    uint64_t total = 0;
    for (const avifile::ConstBuffer& part : parts) {
        total += part.size;
    }
    std::vector<uint8_t>& bytes = state_->bytes;
    if (bytes.size() + total > state_->limit) {
        return false;
    }
    for (const avifile::ConstBuffer& part : parts) {
        const auto* begin = static_cast<const uint8_t*>(part.data);
        bytes.insert(bytes.end(), begin, begin + part.size);
    }
    return true;
}

bool LimitedSink::writeAt(uint64_t position, const void* data, size_t size) {
    std::vector<uint8_t>& bytes = state_->bytes;
    if (position + size > bytes.size() && position + size > state_->limit) {
        return false;
    }
    if (position + size > bytes.size()) {
        bytes.resize(position + size);
    }
    std::memcpy(bytes.data() + position, data, size);
    return true;
}

}  // namespace fixtures
