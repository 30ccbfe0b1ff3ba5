#include "test_picture.h"

#include <cstddef>

void resizeTestPicture(TestPicture& picture, int32_t width, int32_t height) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    picture.width = width;
    picture.height = height;
    picture.red.assign(count, 0);
    picture.green.assign(count, 0);
    picture.blue.assign(count, 0);
}

void drawTestPicture(TestPicture& picture, int32_t frame) {
    const uint32_t f = static_cast<uint32_t>(frame);
    size_t i = 0;
    for (int32_t y = 0; y < picture.height; ++y) {
        const uint32_t uy = static_cast<uint32_t>(y);
        for (int32_t x = 0; x < picture.width; ++x, ++i) {
            const uint32_t ux = static_cast<uint32_t>(x);
            picture.red[i] = static_cast<unsigned char>(ux * 7u + f * 9u);
            picture.green[i] = static_cast<unsigned char>(uy * 5u + f * 3u);
            // A band that steps every 16 pixels along the diagonal, so neither
            // a swap of the rows nor a swap of red and blue goes unseen.
            picture.blue[i] = static_cast<unsigned char>(((ux + uy) / 16u) * 40u + f * 17u);
        }
    }
}
