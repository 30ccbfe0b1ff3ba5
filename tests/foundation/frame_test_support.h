// Frames for the conversion tests: three planes of samples in the host's
// records, and readers of the little-endian header fields.
#ifndef TESTS_FOUNDATION_FRAME_TEST_SUPPORT_H
#define TESTS_FOUNDATION_FRAME_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "avi/avi_plugin.h"

// A frame of width x height pixels. Each plane is its own exactly sized
// block, so that a read past a plane's end shows in the sanitizer build.
struct TestFrame {
    std::vector<unsigned char> red;
    std::vector<unsigned char> green;
    std::vector<unsigned char> blue;
    BandBlock blocks[3] = {};
    BandBlock* blockList[3] = {};
    BandStack stack = {};
    MovieRecord movie = {};

    TestFrame(int32_t width, int32_t height, std::vector<unsigned char> r,
              std::vector<unsigned char> g, std::vector<unsigned char> b)
        : red(std::move(r)), green(std::move(g)), blue(std::move(b)) {
        blocks[0].data = red.data();
        blocks[1].data = green.data();
        blocks[2].data = blue.data();
        // The host's own bytes before the pointers may hold anything.
        std::memset(blocks[0].hostReserved, 0xee, sizeof blocks[0].hostReserved);
        std::memset(stack.hostReserved, 0xdd, sizeof stack.hostReserved);
        for (int band = 0; band < 3; ++band) {
            blockList[band] = &blocks[band];
        }
        stack.bands = blockList;
        movie.width = width;
        movie.height = height;
    }

    // Random samples, a different sequence for each plane.
    static TestFrame random(int32_t width, int32_t height, uint32_t seed) {
        std::mt19937 generator(seed);
        const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
        auto plane = [&] {
            std::vector<unsigned char> samples(count);
            for (unsigned char& sample : samples) {
                sample = static_cast<unsigned char>(generator());
            }
            return samples;
        };
        std::vector<unsigned char> r = plane();
        std::vector<unsigned char> g = plane();
        std::vector<unsigned char> b = plane();
        return TestFrame(width, height, std::move(r), std::move(g), std::move(b));
    }

    TestFrame(const TestFrame&) = delete;
    TestFrame& operator=(const TestFrame&) = delete;
};

inline uint32_t readU32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline uint16_t readU16(const unsigned char* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

#endif  // TESTS_FOUNDATION_FRAME_TEST_SUPPORT_H
