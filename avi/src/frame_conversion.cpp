// Frame buffer layout and the reference pixel loop.
#include "frame_conversion.h"

#include <cstddef>
#include <cstring>

#include "host/host_services.h"
#include "host_records.h"
#include "platform.h"

int32_t rowStride(int32_t width) {
    // Worked in 64 bits so that no width can overflow the arithmetic; the
    // result is exact for every width from 0 to kMaxFrameWidth.
    const int64_t rowBits = static_cast<int64_t>(width) * 24 + 31;
    return static_cast<int32_t>(rowBits / 32 * 4);
}

bool frameImageBytes(int32_t width, int32_t height, uint32_t& bytes) {
    if (width <= 0 || height <= 0 || width > kMaxFrameWidth) {
        return false;
    }
    const uint64_t image = static_cast<uint64_t>(rowStride(width)) * static_cast<uint64_t>(height);
    if (image + kBitmapHeaderBytes > UINT32_MAX) {
        return false;
    }
    bytes = static_cast<uint32_t>(image);
    return true;
}

unsigned char* buildFrameBuffer(int32_t width, int32_t height) {
    uint32_t imageBytes = 0;
    if (!frameImageBytes(width, height, imageBytes)) {
        return nullptr;
    }
    auto* buffer = static_cast<unsigned char*>(jmsc_HeapMalloc(kBitmapHeaderBytes + imageBytes));
    if (buffer == nullptr) {
        return nullptr;
    }
    BITMAPINFOHEADER header;
    header.biSize = kBitmapHeaderBytes;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = imageBytes;
    header.biXPelsPerMeter = 0;
    header.biYPelsPerMeter = 0;
    header.biClrUsed = 0;
    header.biClrImportant = 0;
    static_assert(sizeof header == kBitmapHeaderBytes, "BITMAPINFOHEADER is 40 bytes");
    std::memcpy(buffer, &header, sizeof header);

    // Only the filler at the end of each row needs clearing; the pixels are
    // all written by fillFrameRows.
    const int32_t stride = rowStride(width);
    const int32_t pixelBytes = width * 3;
    if (stride != pixelBytes) {
        unsigned char* rows = buffer + kBitmapHeaderBytes;
        for (int32_t y = 0; y < height; ++y) {
            std::memset(rows + static_cast<size_t>(y) * static_cast<size_t>(stride) + pixelBytes, 0,
                        static_cast<size_t>(stride - pixelBytes));
        }
    }
    return buffer;
}

void fillFrameRowsReference(unsigned char* buffer, int32_t stride, const MovieRecord* movie,
                            const BandStack* frame) {
    const unsigned char* r = frame->bands[kRedBand]->data;
    const unsigned char* g = frame->bands[kGreenBand]->data;
    const unsigned char* b = frame->bands[kBlueBand]->data;
    const int32_t height = movie->height;
    for (int32_t i = 0; i < height; ++i) {
        unsigned char* out = buffer + kBitmapHeaderBytes +
                             static_cast<ptrdiff_t>(height - 1 - i) * stride;
        for (int32_t x = 0; x < movie->width; ++x) {
            *out++ = *b++;
            *out++ = *g++;
            *out++ = *r++;
        }
    }
}
