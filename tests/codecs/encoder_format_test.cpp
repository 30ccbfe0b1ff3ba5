// Opening an encoder: which input formats it takes, the compressed format
// it gives, and what encode() does with frames that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "codec_expectations.h"
#include "codecs/encoder.h"
#include "recording.h"

using avifile::codecs::createEncoder;
using avifile::codecs::EncodedSample;
using avifile::codecs::Encoder;
using avifile::codecs::EncoderSettings;
using avifile::codecs::findCompressor;

namespace {

std::unique_ptr<Encoder> encoderFor(const std::string& code) {
    EncoderSettings settings;
    settings.fourcc = findCompressor(code)->fourcc;
    std::unique_ptr<Encoder> encoder;
    EXPECT_EQ(createEncoder(settings, encoder), AVIERR_OK);
    return encoder;
}

class EncoderFormat : public ::testing::TestWithParam<CodecExpectation> {};

TEST_P(EncoderFormat, RefusesHeadersThatAreNotTwentyFourOrThirtyTwoBitRgb) {
    const BITMAPINFOHEADER good = TestPicture{64, 48}.header();
    std::vector<BITMAPINFOHEADER> bad(9, good);
    bad[0].biBitCount = 16;
    bad[1].biBitCount = 8;
    bad[2].biCompression = mmioFOURCC('M', 'J', 'P', 'G');
    bad[3].biWidth = 0;
    bad[4].biHeight = 0;
    bad[5].biSize = 12;
    bad[6].biSizeImage = good.biSizeImage - 4;
    bad[7].biPlanes = 2;
    bad[8].biWidth = -64;
    auto encoder = encoderFor(GetParam().code);
    for (size_t i = 0; i < bad.size(); ++i) {
        std::vector<uint8_t> format;
        EXPECT_EQ(encoder->open(bad[i], format), AVIERR_BADFORMAT) << "header " << i;
        EXPECT_TRUE(format.empty());
    }
    // After all those refusals the encoder still opens for a good format.
    std::vector<uint8_t> format;
    EXPECT_EQ(encoder->open(good, format), AVIERR_OK);
    EXPECT_FALSE(format.empty());
}

TEST_P(EncoderFormat, AcceptsAZeroImageSize) {
    BITMAPINFOHEADER header = TestPicture{64, 48}.header();
    header.biSizeImage = 0;
    std::vector<uint8_t> format;
    EXPECT_EQ(encoderFor(GetParam().code)->open(header, format), AVIERR_OK);
}

TEST_P(EncoderFormat, EncodesNothingBeforeOpenOrOfTheWrongSize) {
    const TestPicture picture{64, 48};
    const std::vector<uint8_t> frame = picture.frame(0);
    auto encoder = encoderFor(GetParam().code);
    EncodedSample sample;
    EXPECT_NE(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);
    EXPECT_EQ(sample.data, nullptr);

    std::vector<uint8_t> format;
    ASSERT_EQ(encoder->open(picture.header(), format), AVIERR_OK);
    EXPECT_EQ(encoder->encode(frame.data(), frame.size() - 1, sample), AVIERR_BADSIZE);
    EXPECT_EQ(encoder->encode(frame.data(), frame.size() + 4, sample), AVIERR_BADSIZE);
    EXPECT_EQ(encoder->encode(nullptr, frame.size(), sample), AVIERR_BADSIZE);
    // A refused frame is no frame: the first real one is still a key frame.
    ASSERT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);
    EXPECT_TRUE(sample.keyFrame);
    EXPECT_GT(sample.size, 0u);
}

TEST_P(EncoderFormat, SameFormatAgainIsAcceptedAnotherOnlyBeforeTheFirstFrame) {
    const TestPicture small{64, 48};
    const TestPicture large{128, 96};
    auto encoder = encoderFor(GetParam().code);
    std::vector<uint8_t> first;
    std::vector<uint8_t> again;
    ASSERT_EQ(encoder->open(small.header(), first), AVIERR_OK);
    EXPECT_EQ(encoder->open(small.header(), again), AVIERR_OK);
    EXPECT_EQ(again, first);

    // Before any frame the encoder starts over for another size.
    std::vector<uint8_t> larger;
    ASSERT_EQ(encoder->open(large.header(), larger), AVIERR_OK);
    EXPECT_EQ(formatHeader(larger).biWidth, 128);
    const std::vector<uint8_t> frame = large.frame(0);
    EncodedSample sample;
    ASSERT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);

    // Once frames went out, only the same format is accepted.
    std::vector<uint8_t> format;
    EXPECT_EQ(encoder->open(small.header(), format), AVIERR_UNSUPPORTED);
    EXPECT_EQ(encoder->open(large.header(), format), AVIERR_OK);
    EXPECT_EQ(format, larger);
    EXPECT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK);
}

TEST_P(EncoderFormat, ExtraDataFollowsTheHeader) {
    auto encoder = encoderFor(GetParam().code);
    std::vector<uint8_t> format;
    ASSERT_EQ(encoder->open(TestPicture{64, 48}.header(), format), AVIERR_OK);
    const BITMAPINFOHEADER header = formatHeader(format);
    EXPECT_EQ(header.biSize, format.size());
    EXPECT_EQ(header.biClrUsed, 0u);
    EXPECT_EQ(header.biClrImportant, 0u);
    if (GetParam().extraData) {
        // Real extra data, not a block of zeros.
        const bool allZero = std::all_of(format.begin() + sizeof header, format.end(),
                                         [](uint8_t b) { return b == 0; });
        EXPECT_FALSE(allZero);
    }
}

std::string codecName(const ::testing::TestParamInfo<CodecExpectation>& info) {
    return info.param.probeName;
}

INSTANTIATE_TEST_SUITE_P(Offered, EncoderFormat, ::testing::ValuesIn(offeredCodecs()), codecName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EncoderFormat);

// Sizes that are even but not multiples of four: the block codecs refuse
// them as the codec itself does; the others take them.
TEST(EncoderSizes, BlockCodecsNeedMultiplesOfFour) {
    const BITMAPINFOHEADER header = TestPicture{66, 50}.header();
    for (const CodecExpectation& codec : offeredCodecs()) {
        std::vector<uint8_t> format;
        const bool blocks = codec.code == "MSVC" || codec.code == "cvid";
        EXPECT_EQ(encoderFor(codec.code)->open(header, format),
                  blocks ? AVIERR_BADFORMAT : AVIERR_OK)
            << codec.code;
    }
}

TEST(EncoderSizes, OneByOneFrames) {
    // The smallest frame: codecs that take odd sizes either take it or
    // refuse it as a bad format, never anything else.
    const TestPicture picture{1, 1};
    for (const CodecExpectation& codec : offeredCodecs()) {
        auto encoder = encoderFor(codec.code);
        std::vector<uint8_t> format;
        const HRESULT opened = encoder->open(picture.header(), format);
        if (opened != AVIERR_OK) {
            EXPECT_EQ(opened, AVIERR_BADFORMAT) << codec.code;
            continue;
        }
        const std::vector<uint8_t> frame = picture.frame(0);
        EncodedSample sample;
        EXPECT_EQ(encoder->encode(frame.data(), frame.size(), sample), AVIERR_OK) << codec.code;
    }
}

}  // namespace
