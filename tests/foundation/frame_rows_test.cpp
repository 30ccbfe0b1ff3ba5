// The pixel rows: every row converter built in (and the one that
// fillFrameRows picks) against the plain reference loop and against the
// layout worked out pixel by pixel, over many frame sizes; and what lies
// around the pixels stays untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame_conversion.h"
#include "frame_rows.h"
#if AVI_FRAME_ROWS_X86
#include "cpu_features_x86.h"
#endif
#include "frame_test_support.h"
#include "heap_balance.h"
#include "host/toolkit.h"

namespace {

constexpr unsigned char kCanary = 0xa5;
constexpr size_t kGuardBytes = 64;

// The rows of a frame in memory of their own: the header space, the rows and
// a guard area after them, all preset to a canary value instead of zero so
// that a write to a filler or guard byte shows.
struct CanaryBuffer {
    std::vector<unsigned char> bytes;
    int32_t stride;

    CanaryBuffer(int32_t width, int32_t height)
        : bytes(kBitmapHeaderBytes + static_cast<size_t>(rowStride(width)) * height + kGuardBytes,
                kCanary),
          stride(rowStride(width)) {}

    unsigned char* start() { return bytes.data(); }
    size_t imageEnd() const { return bytes.size() - kGuardBytes; }
};

// Every byte as the layout says: pixel (x, y) of the picture, y counted from
// the top, lies in buffer row height - 1 - y as blue, green, red; everything
// else (header, filler, guard) still holds the canary.
void expectLayout(const CanaryBuffer& buffer, const TestFrame& frame, const std::string& what) {
    const int32_t width = frame.movie.width;
    const int32_t height = frame.movie.height;
    std::vector<unsigned char> expected(buffer.bytes.size(), kCanary);
    for (int32_t y = 0; y < height; ++y) {
        const size_t row = kBitmapHeaderBytes + static_cast<size_t>(height - 1 - y) * buffer.stride;
        for (int32_t x = 0; x < width; ++x) {
            const size_t sample = static_cast<size_t>(y) * width + x;
            expected[row + 3 * x + 0] = frame.blue[sample];
            expected[row + 3 * x + 1] = frame.green[sample];
            expected[row + 3 * x + 2] = frame.red[sample];
        }
    }
    if (buffer.bytes == expected) {
        return;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (buffer.bytes[i] != expected[i]) {
            ADD_FAILURE() << what << " " << width << "x" << height << ": first wrong byte at " << i
                          << " (image ends at " << buffer.imageEnd() << "), got "
                          << int(buffer.bytes[i]) << ", want " << int(expected[i]);
            return;
        }
    }
}

struct Converter {
    std::string name;
    RowConverter convert;  // null: the reference loop
};

// The converters this processor runs, plus the reference and fillFrameRows.
std::vector<Converter> convertersToCheck() {
    std::vector<Converter> list = {{"reference", nullptr}, {"fillFrameRows", nullptr}};
    for (const RowConverterVariant& variant : rowConverterVariants()) {
        if (variant.isSupported()) {
            list.push_back({variant.name, variant.convert});
        }
    }
    return list;
}

void convert(const Converter& converter, CanaryBuffer& buffer, const TestFrame& frame) {
    if (converter.name == "reference") {
        fillFrameRowsReference(buffer.start(), buffer.stride, &frame.movie, &frame.stack);
    } else if (converter.name == "fillFrameRows") {
        fillFrameRows(buffer.start(), buffer.stride, &frame.movie, &frame.stack);
    } else {
        fillFrameRowsWith(converter.convert, buffer.start(), buffer.stride, &frame.movie,
                          &frame.stack);
    }
}

void checkSize(int32_t width, int32_t height) {
    const TestFrame frame = TestFrame::random(width, height, static_cast<uint32_t>(width * 7919 + height));
    CanaryBuffer reference(width, height);
    fillFrameRowsReference(reference.start(), reference.stride, &frame.movie, &frame.stack);
    for (const Converter& converter : convertersToCheck()) {
        CanaryBuffer buffer(width, height);
        convert(converter, buffer, frame);
        expectLayout(buffer, frame, converter.name);
        EXPECT_TRUE(buffer.bytes == reference.bytes)
            << converter.name << " differs from the reference at " << width << "x" << height;
    }
}

TEST(FrameRows, PortableConverterIsAlwaysBuiltInAndSupported) {
    const auto variants = rowConverterVariants();
    ASSERT_FALSE(variants.empty());
    EXPECT_STREQ(variants.back().name, "portable");
    EXPECT_TRUE(variants.back().isSupported());
    bool selectedIsListed = false;
    for (const RowConverterVariant& variant : variants) {
        if (variant.convert == selectedRowConverter()) {
            selectedIsListed = true;
            EXPECT_TRUE(variant.isSupported()) << variant.name;
        }
    }
    EXPECT_TRUE(selectedIsListed);
    EXPECT_EQ(selectedRowConverter(), selectedRowConverter()) << "chosen once";
}

#if AVI_FRAME_ROWS_X86
TEST(FrameRows, ProcessorFeaturesAgreeWithTheCompilersRuntime) {
    __builtin_cpu_init();
    EXPECT_EQ(cpuRunsSsse3(), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(cpuRunsAvx2(), __builtin_cpu_supports("avx2") != 0);
}
#endif

TEST(FrameRows, OddWidthsUpTo67AtSeveralHeights) {
    for (int32_t height : {1, 2, 3, 8}) {
        for (int32_t width = 1; width <= 67; width += 2) {
            checkSize(width, height);
        }
    }
}

TEST(FrameRows, EvenWidthsUpTo68) {
    for (int32_t height : {1, 5}) {
        for (int32_t width = 2; width <= 68; width += 2) {
            checkSize(width, height);
        }
    }
}

TEST(FrameRows, WideFrames) {
    checkSize(1920, 4);
    checkSize(1921, 3);
    checkSize(1919, 2);
    checkSize(640, 6);
    checkSize(4099, 2);
}

TEST(FrameRows, TallNarrowFrames) {
    checkSize(1, 300);
    checkSize(17, 129);
    checkSize(33, 65);
}

// The whole buffer as the plug-in uses it: built on the host heap, filled,
// freed; the filler stays zero.
using FrameRowsOnHostHeap = HeapBalance;

TEST_F(FrameRowsOnHostHeap, FillerStaysZeroAfterFilling) {
    for (int32_t width : {1, 2, 3, 5, 15, 17, 31, 33, 63, 65, 1919}) {
        const TestFrame frame = TestFrame::random(width, 4, static_cast<uint32_t>(width));
        unsigned char* buffer = buildFrameBuffer(width, 4);
        ASSERT_NE(buffer, nullptr);
        const int32_t stride = rowStride(width);
        fillFrameRows(buffer, stride, &frame.movie, &frame.stack);
        for (int32_t row = 0; row < 4; ++row) {
            for (int32_t byte = 3 * width; byte < stride; ++byte) {
                EXPECT_EQ(buffer[kBitmapHeaderBytes + row * stride + byte], 0)
                    << width << " wide, row " << row << ", byte " << byte;
            }
        }
        jmsc_HeapFree(buffer);
    }
}

}  // namespace
