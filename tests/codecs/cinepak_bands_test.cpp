// Cinepak compressed in bands: how frames are split, how the bands' frames
// are joined, and that readers take the joined frames.
#include <gtest/gtest.h>

#include <algorithm>

extern "C" {
#include <libavutil/cpu.h>
}

#include "banded_recording.h"
#include "codecs/cinepak_bands.h"
#include "codecs/cinepak_encoder.h"
#include "codecs/encoder.h"

using namespace avifile::codecs;

namespace {

TEST(CinepakBands, ThreeBandsWithMoreThanOneCoreForFramesOf96RowsOrMore) {
    EXPECT_EQ(cinepakBands(480, 1), 1);
    EXPECT_EQ(cinepakBands(480, 2), 3);
    EXPECT_EQ(cinepakBands(1080, 16), 3);
    EXPECT_EQ(cinepakBands(95, 4), 1);
    EXPECT_EQ(cinepakBands(96, 2), 3);
    EXPECT_EQ(cinepakBands(4, 4), 1);
}

TEST(CinepakBands, SplitCoversEveryRowInBlocksOfFour) {
    for (int height : {4, 32, 64, 100, 480, 1080, 1081}) {
        for (int bands : {1, 2, 3}) {
            const std::vector<Band> split = splitIntoBands(height, bands);
            ASSERT_FALSE(split.empty());
            int next = 0;
            for (size_t i = 0; i < split.size(); ++i) {
                EXPECT_EQ(split[i].top, next);
                EXPECT_GT(split[i].rows, 0);
                if (i + 1 < split.size()) {
                    EXPECT_EQ(split[i].rows % 4, 0) << height << " in " << bands;
                }
                next += split[i].rows;
            }
            EXPECT_EQ(next, height);
        }
    }
    EXPECT_EQ(splitIntoBands(1080, 2).size(), 2u);
    EXPECT_EQ(splitIntoBands(1080, 2)[1].rows, 540);
}

// A band's frame: the header with its strip count, then `payload` bytes.
std::vector<uint8_t> bandFrame(unsigned strips, const std::vector<uint8_t>& payload) {
    const size_t size = 10 + payload.size();
    std::vector<uint8_t> frame(size, 0);
    frame[3] = static_cast<uint8_t>(size);
    frame[5] = 64;
    frame[7] = 32;
    frame[9] = static_cast<uint8_t>(strips);
    std::copy(payload.begin(), payload.end(), frame.begin() + 10);
    return frame;
}

TEST(CinepakBands, JoinedFrameHasOneHeaderAndEveryStrip) {
    const auto top = bandFrame(1, {1, 2, 3});
    const auto bottom = bandFrame(2, {4, 5});
    const std::span<const uint8_t> parts[] = {top, bottom};
    std::vector<uint8_t> joined;
    ASSERT_TRUE(joinCinepakFrames(parts, false, 64, 300, joined));
    const std::vector<uint8_t> expected = {0x01, 0, 0, 15, 0, 64, 0x01, 0x2C, 0, 3, 1, 2, 3, 4, 5};
    EXPECT_EQ(joined, expected);
    ASSERT_TRUE(joinCinepakFrames(parts, true, 64, 300, joined));
    EXPECT_EQ(joined[0], 0x00);
}

TEST(CinepakBands, MalformedBandsAreRefused) {
    const auto good = bandFrame(1, {1});
    const std::vector<uint8_t> shortFrame = {0, 0, 0, 4};
    const std::span<const uint8_t> parts[] = {good, shortFrame};
    std::vector<uint8_t> joined;
    EXPECT_FALSE(joinCinepakFrames(parts, true, 64, 64, joined));
    const std::span<const uint8_t> one[] = {good};
    EXPECT_FALSE(joinCinepakFrames(one, true, 70000, 64, joined));
}

class CinepakRecording : public BandedRecording {
protected:
    CinepakRecording() : BandedRecording("cinepak", "Cinepak") {}
};

TEST_F(CinepakRecording, EveryFrameCarriesAStripPerBand) {
    const TestPicture picture{160, 128};
    EncoderSettings settings;
    settings.fourcc = fourcc();
    std::unique_ptr<Encoder> encoder;
    ASSERT_EQ(createEncoder(settings, encoder), AVIERR_OK);
    std::vector<uint8_t> format;
    ASSERT_EQ(encoder->open(picture.header(), format), AVIERR_OK);
    const int bands = cinepakBands(128, av_cpu_count());
    EXPECT_EQ(bands, av_cpu_count() > 1 ? 3 : 1);
    // The layer's own encoder cuts the picture into strips of its own.
    const unsigned strips = static_cast<unsigned>(cinepakStrips(160, 128));
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> frame = picture.frame(i);
        EncodedSample sample;
        ASSERT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);
        const auto* bytes = static_cast<const uint8_t*>(sample.data);
        ASSERT_GE(sample.size, 10u);
        // The frame header's flag says what the index will say.
        EXPECT_EQ(bytes[0], sample.keyFrame ? 0x00 : 0x01);
        EXPECT_EQ(sample.keyFrame, i == 0 || bytes[0] == 0x00);
        EXPECT_EQ(static_cast<size_t>(bytes[1] << 16 | bytes[2] << 8 | bytes[3]), sample.size);
        EXPECT_EQ(bytes[4] << 8 | bytes[5], 160);
        EXPECT_EQ(bytes[6] << 8 | bytes[7], 128);
        ASSERT_EQ(static_cast<unsigned>(bytes[8] << 8 | bytes[9]), strips);
        // The strips' heights, each a multiple of four, cover the picture.
        size_t at = 10;
        int rows = 0;
        for (unsigned s = 0; s < strips; ++s) {
            ASSERT_LE(at + 12, sample.size);
            const int height = bytes[at + 8] << 8 | bytes[at + 9];
            EXPECT_EQ(height % 4, 0);
            EXPECT_EQ(bytes[at + 10] << 8 | bytes[at + 11], 160);
            rows += height;
            at += static_cast<size_t>(bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]);
        }
        EXPECT_EQ(rows, 128);
        EXPECT_EQ(at, sample.size);
    }
}

TEST_F(CinepakRecording, ReadersDecodeBandedFramesWell) {
    const TestPicture picture{160, 128};
    EncoderSettings settings;
    settings.fourcc = fourcc();
    const std::string path = dir_.file("bands.avi");
    const int frames = 7;
    Recording recording;
    DecodedVideo video;
    ASSERT_NO_FATAL_FAILURE(recordEveryThirdAKeyFrame(settings, picture, frames, path, recording, video));
    for (int i = 0; i < frames; ++i) {
        // Measured 36.5 dB or more on this picture, in two bands.
        EXPECT_GE(psnr(video.frames[i], picture.rgbFrame(i)), 33.0) << "frame " << i;
    }
}

}  // namespace

namespace {

TEST_F(CinepakRecording, TallFramesStillNeedRowsInBlocksOfFour) {
    EncoderSettings settings;
    settings.fourcc = fourcc();
    for (const auto& [height, expected] : {std::pair{130, AVIERR_BADFORMAT}, std::pair{132, AVIERR_OK},
                                           std::pair{481, AVIERR_BADFORMAT}}) {
        std::unique_ptr<Encoder> encoder;
        ASSERT_EQ(createEncoder(settings, encoder), AVIERR_OK);
        std::vector<uint8_t> format;
        EXPECT_EQ(encoder->open(TestPicture{160, height}.header(), format), expected) << height;
        if (expected == AVIERR_OK) {
            EXPECT_EQ(formatHeader(format).biHeight, height);
            const std::vector<uint8_t> frame = TestPicture{160, height}.frame(0);
            EncodedSample sample;
            EXPECT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);
        }
    }
}

}  // namespace
