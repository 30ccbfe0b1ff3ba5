// Video 1 compressed in bands: how the bands' frames are joined, and that
// readers take the joined frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavutil/cpu.h>
}

#include "banded_recording.h"
#include "codecs/encoder.h"
#include "codecs/video1_bands.h"

using namespace avifile::codecs;

namespace {

TEST(Video1Bands, OnePerCoreUpToFourEachAtLeast32Rows) {
    EXPECT_EQ(video1Bands(480, 1), 1);
    EXPECT_EQ(video1Bands(480, 2), 2);
    EXPECT_EQ(video1Bands(1080, 16), 4);
    EXPECT_EQ(video1Bands(48, 4), 1);
    EXPECT_EQ(video1Bands(96, 4), 3);
}

TEST(Video1Bands, EndCodesBetweenBandsGoTheLastStays) {
    const std::vector<uint8_t> bottom = {1, 2, 3, 0x84, 0, 0};
    const std::vector<uint8_t> top = {4, 5, 0, 0};
    const std::span<const uint8_t> parts[] = {bottom, top};
    std::vector<uint8_t> joined;
    ASSERT_TRUE(joinVideo1Frames(parts, joined));
    EXPECT_EQ(joined, (std::vector<uint8_t>{1, 2, 3, 0x84, 4, 5, 0, 0}));
}

TEST(Video1Bands, ABandWithoutItsEndCodeIsRefused) {
    const std::vector<uint8_t> unended = {1, 2, 3, 4};
    const std::vector<uint8_t> ended = {4, 5, 0, 0};
    const std::span<const uint8_t> parts[] = {unended, ended};
    std::vector<uint8_t> joined;
    EXPECT_FALSE(joinVideo1Frames(parts, joined));
    const std::vector<uint8_t> tiny = {0};
    const std::span<const uint8_t> shortParts[] = {tiny, ended};
    EXPECT_FALSE(joinVideo1Frames(shortParts, joined));
}

class Video1Recording : public BandedRecording {
protected:
    Video1Recording() : BandedRecording("msvc", "Video 1") {}
};

TEST_F(Video1Recording, ReadersDecodeBandedFramesWell) {
    const TestPicture picture{160, 128};
    EncoderSettings settings;
    settings.fourcc = fourcc();
    const std::string path = dir_.file("bands.avi");
    const int frames = 7;
    Recording recording;
    DecodedVideo video;
    ASSERT_NO_FATAL_FAILURE(recordEveryThirdAKeyFrame(settings, picture, frames, path, recording, video));
    EXPECT_LT(std::count(recording.keyFrames.begin(), recording.keyFrames.end(), true), frames);
    for (int i = 0; i < frames; ++i) {
        // The whole picture, bands in place: as good as unbanded frames
        // (measured 33.1 dB and more on this picture).
        const double quality = psnr(video.frames[i], picture.rgbFrame(i));
        EXPECT_GE(quality, 31.0) << "frame " << i;
        std::printf("[ quality  ] banded MSVC frame %d: %.2f dB\n", i, quality);
    }
}

TEST_F(Video1Recording, TallFramesStillNeedRowsInBlocksOfFour) {
    EncoderSettings settings;
    settings.fourcc = fourcc();
    for (const auto& [height, expected] : {std::pair{130, AVIERR_BADFORMAT}, std::pair{132, AVIERR_OK}}) {
        std::unique_ptr<Encoder> encoder;
        ASSERT_EQ(createEncoder(settings, encoder), AVIERR_OK);
        std::vector<uint8_t> format;
        EXPECT_EQ(encoder->open(TestPicture{160, height}.header(), format), expected) << height;
    }
}

}  // namespace
