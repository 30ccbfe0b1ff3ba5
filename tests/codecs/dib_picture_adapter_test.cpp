// The pictures a codec is given: the same pixels whichever way up the DIB
// lies, and never written while the codec still holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "codecs/dib_layout.h"
#include "codecs/dib_picture_adapter.h"
#include "test_picture.h"

using avifile::codecs::DibLayout;
using avifile::codecs::DibPictureAdapter;
using avifile::codecs::readDibLayout;

namespace {

DibLayout layoutOf(const TestPicture& picture) {
    DibLayout layout;
    EXPECT_TRUE(readDibLayout(picture.header(), layout));
    return layout;
}

// The visible bytes of every plane, top row first.
std::vector<uint8_t> pixelsOf(const AVFrame* frame) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    std::vector<uint8_t> pixels;
    for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
        const bool chroma = (plane == 1 || plane == 2) && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0;
        const int rows = chroma ? AV_CEIL_RSHIFT(frame->height, descriptor->log2_chroma_h) : frame->height;
        const int bytes = av_image_get_linesize(format, frame->width, plane);
        for (int row = 0; row < rows; ++row) {
            const uint8_t* start = frame->data[plane] + static_cast<ptrdiff_t>(row) * frame->linesize[plane];
            pixels.insert(pixels.end(), start, start + bytes);
        }
    }
    return pixels;
}

struct Conversion {
    AVPixelFormat target;
    int width;
    int height;
    int bitsPerPixel;
};

std::string describe(const Conversion& c) {
    return std::string(av_get_pix_fmt_name(c.target)) + "_" + std::to_string(c.width) + "x" +
           std::to_string(c.height) + "_" + std::to_string(c.bitsPerPixel);
}

std::string conversionName(const ::testing::TestParamInfo<Conversion>& info) {
    return describe(info.param);
}

void PrintTo(const Conversion& c, std::ostream* out) { *out << describe(c); }

class PictureOrientation : public ::testing::TestWithParam<Conversion> {};

// A bottom-up DIB and a top-down DIB of the same picture give byte for byte
// the same picture to the codec, over several frames in a row.
TEST_P(PictureOrientation, IsTheSameForBottomUpAndTopDownFrames) {
    const Conversion& c = GetParam();
    const TestPicture bottomUp{c.width, c.height, c.bitsPerPixel, false};
    const TestPicture topDown{c.width, c.height, c.bitsPerPixel, true};
    DibPictureAdapter fromBottomUp;
    DibPictureAdapter fromTopDown;
    ASSERT_TRUE(fromBottomUp.prepare(layoutOf(bottomUp), c.target));
    ASSERT_TRUE(fromTopDown.prepare(layoutOf(topDown), c.target));
    for (int index = 0; index < 3; ++index) {
        const std::vector<uint8_t> up = bottomUp.frame(index);
        const std::vector<uint8_t> down = topDown.frame(index);
        const AVFrame* a = fromBottomUp.picture(up.data());
        const AVFrame* b = fromTopDown.picture(down.data());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(a->format, c.target);
        EXPECT_EQ(a->width, c.width);
        EXPECT_EQ(a->height, c.height);
        if (c.bitsPerPixel == 32 && c.target == AV_PIX_FMT_BGR0) {
            continue;  // handed over as it is: the unused bytes differ by design
        }
        EXPECT_EQ(pixelsOf(a), pixelsOf(b)) << "frame " << index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, PictureOrientation,
    ::testing::Values(Conversion{AV_PIX_FMT_BGR0, 64, 48, 24}, Conversion{AV_PIX_FMT_BGR0, 65, 49, 24},
                      Conversion{AV_PIX_FMT_RGB24, 65, 49, 24}, Conversion{AV_PIX_FMT_RGB24, 64, 48, 32},
                      Conversion{AV_PIX_FMT_GBRP, 65, 49, 24}, Conversion{AV_PIX_FMT_GBRP, 64, 48, 32},
                      Conversion{AV_PIX_FMT_YUV420P, 64, 48, 24}, Conversion{AV_PIX_FMT_YUV420P, 65, 49, 24},
                      Conversion{AV_PIX_FMT_YUVJ420P, 64, 48, 32}, Conversion{AV_PIX_FMT_RGB555LE, 64, 48, 24},
                      Conversion{AV_PIX_FMT_BGR0, 64, 48, 32}),
    conversionName);

// A picture kept by the codec (as some keep the last one until the next
// arrives) stays as it was while the next frames are converted, and once
// the codec lets go its buffer is used again rather than a new one.
TEST(PictureReuse, NeverWritesUnderAPictureTheCodecHolds) {
    const TestPicture picture{64, 48, 24, false};
    DibPictureAdapter source;
    ASSERT_TRUE(source.prepare(layoutOf(picture), AV_PIX_FMT_BGR0));
    DibPictureAdapter reference;
    ASSERT_TRUE(reference.prepare(layoutOf(picture), AV_PIX_FMT_BGR0));

    std::vector<std::vector<uint8_t>> frames;
    for (int index = 0; index < 6; ++index) {
        frames.push_back(picture.frame(index));
    }
    const auto expected = [&](int index) { return pixelsOf(reference.picture(frames[index].data())); };

    // The codec holds every picture it is given, more than the source keeps.
    std::vector<AVFrame*> held;
    std::vector<std::vector<uint8_t>> heldPixels;
    for (int index = 0; index < 5; ++index) {
        AVFrame* given = source.picture(frames[index].data());
        ASSERT_NE(given, nullptr);
        EXPECT_EQ(pixelsOf(given), expected(index)) << "frame " << index;
        for (const AVFrame* earlier : held) {
            EXPECT_NE(given->data[0], earlier->data[0]) << "frame " << index;
        }
        held.push_back(av_frame_clone(given));
        ASSERT_NE(held.back(), nullptr);
        heldPixels.push_back(pixelsOf(given));
    }
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(pixelsOf(held[i]), heldPixels[i]) << "held picture " << i;
    }

    // Let go of all but the last: the next picture goes into a buffer that
    // was let go, and the one still held is left alone.
    const uint8_t* lastHeld = held.back()->data[0];
    std::vector<const uint8_t*> letGo;
    for (size_t i = 0; i + 1 < held.size(); ++i) {
        letGo.push_back(held[i]->data[0]);
        av_frame_free(&held[i]);
    }
    const AVFrame* next = source.picture(frames[5].data());
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next->data[0], lastHeld);
    EXPECT_NE(std::find(letGo.begin(), letGo.end(), next->data[0]), letGo.end());
    EXPECT_EQ(pixelsOf(next), expected(5));
    EXPECT_EQ(pixelsOf(held.back()), heldPixels.back());
    av_frame_free(&held.back());
}

// Where the codec takes the DIB's own format, the caller's rows are handed
// over where they lie, top row first.
TEST(PictureReuse, LendsTheCallersRowsWhenNoConversionIsNeeded) {
    const TestPicture picture{64, 48, 32, false};
    const DibLayout layout = layoutOf(picture);
    DibPictureAdapter source;
    ASSERT_TRUE(source.prepare(layout, AV_PIX_FMT_BGR0));
    EXPECT_TRUE(source.direct());
    const std::vector<uint8_t> frame = picture.frame(0);
    const AVFrame* given = source.picture(frame.data());
    ASSERT_NE(given, nullptr);
    EXPECT_EQ(given->data[0], layout.topRow(frame.data()));
    EXPECT_EQ(given->linesize[0], layout.rowStep());
}

}  // namespace
