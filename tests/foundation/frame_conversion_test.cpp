// The frame buffer: row stride, header, layout of small frames, and the sizes
// that are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "frame_conversion.h"
#include "frame_test_support.h"
#include "heap_balance.h"
#include "host/toolkit.h"

namespace {

TEST(RowStride, KnownWidths) {
    EXPECT_EQ(rowStride(1), 4);
    EXPECT_EQ(rowStride(3), 12);
    EXPECT_EQ(rowStride(5), 16);
    EXPECT_EQ(rowStride(640), 1920);
    EXPECT_EQ(rowStride(4), 12);
    EXPECT_EQ(rowStride(1921), 5764);
}

TEST(RowStride, IsTheRowsPixelBytesRoundedUpToWholeWords) {
    for (int32_t width = 1; width <= 4096; ++width) {
        const int32_t stride = rowStride(width);
        ASSERT_EQ(stride % 4, 0) << width;
        ASSERT_GE(stride, 3 * width) << width;
        ASSERT_LT(stride - 3 * width, 4) << width;
    }
}

TEST(RowStride, WidestFrameStillHasAPositiveStride) {
    EXPECT_EQ(rowStride(kMaxFrameWidth), 2147483644);
    EXPECT_EQ(rowStride(0), 0);
}

using FrameBuffer = HeapBalance;

TEST_F(FrameBuffer, HeaderFieldsOfA640x480Frame) {
    unsigned char* buffer = buildFrameBuffer(640, 480);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(newBlocks(), 1);
    EXPECT_EQ(newBytes(), 40 + 921600);
    EXPECT_EQ(readU32(buffer + 0), 40u);            // biSize
    EXPECT_EQ(readU32(buffer + 4), 640u);           // biWidth
    EXPECT_EQ(readU32(buffer + 8), 480u);           // biHeight, positive: bottom-up
    EXPECT_EQ(readU16(buffer + 12), 1u);            // biPlanes
    EXPECT_EQ(readU16(buffer + 14), 24u);           // biBitCount
    EXPECT_EQ(readU32(buffer + 16), 0u);            // biCompression: BI_RGB
    EXPECT_EQ(readU32(buffer + 20), 921600u);       // biSizeImage
    for (int offset = 24; offset < 40; offset += 4) {  // pels per metre, colours
        EXPECT_EQ(readU32(buffer + offset), 0u) << "offset " << offset;
    }
    jmsc_HeapFree(buffer);
}

TEST_F(FrameBuffer, HeaderOfAFrameWithFillerAndTheFillerIsZero) {
    // Host-heap blocks come uncleared. Dirty some memory that the allocator
    // may well hand out again: the zero filler must come from the builder.
    void* dirty = jmsc_HeapMalloc(40 + 12 * 7);
    std::memset(dirty, 0xff, 40 + 12 * 7);
    jmsc_HeapFree(dirty);

    unsigned char* buffer = buildFrameBuffer(3, 7);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(newBytes(), 40 + 12 * 7);
    EXPECT_EQ(readU32(buffer + 4), 3u);
    EXPECT_EQ(readU32(buffer + 8), 7u);
    EXPECT_EQ(readU32(buffer + 20), 84u);
    for (int row = 0; row < 7; ++row) {
        for (int byte = 9; byte < 12; ++byte) {
            EXPECT_EQ(buffer[40 + row * 12 + byte], 0) << "row " << row << " byte " << byte;
        }
    }
    jmsc_HeapFree(buffer);
}

TEST_F(FrameBuffer, OnePixelFrame) {
    TestFrame frame(1, 1, {10}, {20}, {30});
    unsigned char* buffer = buildFrameBuffer(1, 1);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(newBytes(), 44);
    EXPECT_EQ(readU32(buffer + 20), 4u);
    fillFrameRows(buffer, rowStride(1), &frame.movie, &frame.stack);
    EXPECT_EQ(std::vector<unsigned char>(buffer + 40, buffer + 44),
              (std::vector<unsigned char>{30, 20, 10, 0}));
    jmsc_HeapFree(buffer);
}

TEST_F(FrameBuffer, TwoByTwoFrameStoresTheBottomRowFirst) {
    // Top row (a, b), bottom row (c, d); each pixel's samples differ per band.
    TestFrame frame(2, 2, {0xa1, 0xb1, 0xc1, 0xd1}, {0xa2, 0xb2, 0xc2, 0xd2},
                    {0xa3, 0xb3, 0xc3, 0xd3});
    unsigned char* buffer = buildFrameBuffer(2, 2);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(newBytes(), 40 + 16);
    fillFrameRows(buffer, rowStride(2), &frame.movie, &frame.stack);
    EXPECT_EQ(std::vector<unsigned char>(buffer + 40, buffer + 56),
              (std::vector<unsigned char>{0xc3, 0xc2, 0xc1, 0xd3, 0xd2, 0xd1, 0, 0,  //
                                          0xa3, 0xa2, 0xa1, 0xb3, 0xb2, 0xb1, 0, 0}));
    jmsc_HeapFree(buffer);
}

TEST_F(FrameBuffer, FillingChangesNeitherTheHeaderNorTheHostsRecords) {
    TestFrame frame = TestFrame::random(5, 3, 7);
    const std::vector<unsigned char> red = frame.red;
    const BandBlock firstBlock = frame.blocks[0];
    unsigned char* buffer = buildFrameBuffer(5, 3);
    ASSERT_NE(buffer, nullptr);
    const std::vector<unsigned char> header(buffer, buffer + 40);
    fillFrameRows(buffer, rowStride(5), &frame.movie, &frame.stack);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 40), header);
    EXPECT_EQ(frame.red, red);
    EXPECT_EQ(std::memcmp(&frame.blocks[0], &firstBlock, sizeof firstBlock), 0);
    EXPECT_EQ(frame.stack.bands, frame.blockList);
    jmsc_HeapFree(buffer);
}

TEST_F(FrameBuffer, LargeFrameBufferSize) {
    unsigned char* buffer = buildFrameBuffer(1920, 1080);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(newBytes(), 40 + 5760 * 1080);
    EXPECT_EQ(readU32(buffer + 20), 5760u * 1080u);
    jmsc_HeapFree(buffer);
}

// ---- Refused sizes -----------------------------------------------------------

TEST(FrameImageBytes, RefusesDimensionsOfZeroOrBelow) {
    for (const auto& [width, height] : std::vector<std::pair<int32_t, int32_t>>{
             {0, 10}, {10, 0}, {-1, 10}, {10, -1}, {0, 0}, {INT32_MIN, 1}, {1, INT32_MIN},
             {-640, -480}}) {
        uint32_t bytes = 12345;
        EXPECT_FALSE(frameImageBytes(width, height, bytes)) << width << "x" << height;
        EXPECT_EQ(bytes, 12345u) << "left untouched";
    }
}

TEST(FrameImageBytes, WholeBufferMustFit32Bits) {
    uint32_t bytes = 0;
    // rowStride(1) is 4: the largest height whose 40 + 4 * height fits.
    const int32_t tallest = (UINT32_MAX - 40) / 4;
    ASSERT_TRUE(frameImageBytes(1, tallest, bytes));
    EXPECT_EQ(bytes, 4u * static_cast<uint32_t>(tallest));
    EXPECT_FALSE(frameImageBytes(1, tallest + 1, bytes))
        << "the image fits 32 bits but the header on top does not";
    EXPECT_FALSE(frameImageBytes(65536, 65536, bytes));
    EXPECT_FALSE(frameImageBytes(INT32_MAX, INT32_MAX, bytes));
    EXPECT_FALSE(frameImageBytes(kMaxFrameWidth + 1, 1, bytes));
    EXPECT_FALSE(frameImageBytes(INT32_MAX, 1, bytes));

    // Sizes beyond signed 32 bits but within unsigned ones are accepted.
    ASSERT_TRUE(frameImageBytes(kMaxFrameWidth, 1, bytes));
    EXPECT_EQ(bytes, 2147483644u);
    ASSERT_TRUE(frameImageBytes(1 << 15, 1 << 15, bytes));
    EXPECT_EQ(bytes, 3u << 30);
}

using RefusedFrameBuffer = HeapBalance;

TEST_F(RefusedFrameBuffer, RefusedSizesAllocateNothing) {
    for (const auto& [width, height] : std::vector<std::pair<int32_t, int32_t>>{
             {0, 480}, {640, 0}, {-640, 480}, {640, -480}, {65536, 65536}, {1, 1073741814},
             {INT32_MAX, 2}}) {
        // Arm a failure for the next allocation: if the builder tried to
        // allocate, it would use it up.
        jmsc_HeapFailAfter(0);
        EXPECT_EQ(buildFrameBuffer(width, height), nullptr) << width << "x" << height;
        void* probe = jmsc_HeapMalloc(1);
        EXPECT_EQ(probe, nullptr) << "no allocation was tried for " << width << "x" << height;
        jmsc_HeapFree(probe);
        jmsc_HeapFailAfter(-1);
    }
    EXPECT_EQ(newBlocks(), 0);
}

TEST_F(RefusedFrameBuffer, FailedAllocationGivesNoBuffer) {
    jmsc_HeapFailAfter(0);
    EXPECT_EQ(buildFrameBuffer(64, 64), nullptr);
    EXPECT_EQ(newBlocks(), 0);
    unsigned char* buffer = buildFrameBuffer(64, 64);
    EXPECT_NE(buffer, nullptr) << "the next frame gets its buffer again";
    jmsc_HeapFree(buffer);
}

}  // namespace
