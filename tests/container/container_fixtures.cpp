#include "container_fixtures.h"

#include <algorithm>
#include <cstring>

namespace fixtures {

std::vector<uint8_t> dibFrame(int width, int height, int frameNumber) {
    const size_t stride = dibtest::stride24(width);
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
    return dibtest::rgbRowsOf(dib, width, height);
}

std::unique_ptr<avifile::AviWriter> videoWriter(std::unique_ptr<avifile::ByteSink> sink,
                                                int width, int height,
                                                const avifile::ContainerSettings& settings,
                                                const char* name) {
    auto writer = std::make_unique<avifile::AviWriter>(std::move(sink), settings);
    const int stream = writer->addStream(videoInfo(width, height, 15, name));
    const BITMAPINFOHEADER format = dibHeader(width, height);
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
    if (position == 0 && state_->refuseHeaderRewrites) {
        return false;
    }
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
