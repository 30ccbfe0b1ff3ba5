// Short recordings through every compressor on offer, read back by ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "codec_expectations.h"
#include "codecs/encoder.h"
#include "recording.h"
#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"

using avifile::codecs::EncoderSettings;
using avifile::codecs::findCompressor;

namespace {

constexpr int kFrames = 12;

class CodecRecording : public ::testing::TestWithParam<CodecExpectation> {
protected:
    EncoderSettings settingsFor() const {
        EncoderSettings settings;
        settings.fourcc = findCompressor(GetParam().code)->fourcc;
        return settings;
    }

    // Records the picture and checks everything a reader sees in the file.
    void recordAndRead(const TestPicture& picture) {
        const CodecExpectation& codec = GetParam();
        const std::string path = dir_.file("movie.avi");
        const Recording recording = record(settingsFor(), picture, kFrames, path);
        ASSERT_EQ(recording.created, AVIERR_OK);
        ASSERT_EQ(recording.opened, AVIERR_OK);
        ASSERT_EQ(recording.encoded, std::vector<HRESULT>(kFrames, AVIERR_OK));
        ASSERT_TRUE(recording.written);

        const BITMAPINFOHEADER format = formatHeader(recording.format);
        EXPECT_EQ(format.biSize, recording.format.size());
        EXPECT_EQ(fourccText(format.biCompression), codec.code);
        EXPECT_EQ(format.biWidth, picture.width);
        EXPECT_EQ(format.biHeight, picture.height);
        EXPECT_EQ(format.biPlanes, 1);
        EXPECT_EQ(format.biBitCount, codec.bitCount);
        EXPECT_EQ(format.biSizeImage,
                  static_cast<DWORD>(picture.width * picture.height * codec.bitCount / 8));
        EXPECT_EQ(recording.format.size() > sizeof(BITMAPINFOHEADER), codec.extraData);

        const auto stream = probeVideoStream(path);
        EXPECT_EQ(stream.at("codec_name"), codec.probeName);
        EXPECT_EQ(stream.at("codec_tag_string"), codec.code);
        EXPECT_EQ(stream.at("nb_read_packets"), std::to_string(kFrames));

        // The key-frame flags readers find are those the codec produced.
        EXPECT_EQ(probeKeyFrames(path), recording.keyFrames);
        EXPECT_TRUE(recording.keyFrames.at(0));
        if (codec.intraOnly) {
            EXPECT_EQ(recording.keyFrames, std::vector<bool>(kFrames, true));
        }

        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(path, video));
        EXPECT_EQ(video.width, picture.width);
        EXPECT_EQ(video.height, picture.height);
        ASSERT_EQ(video.frames.size(), static_cast<size_t>(kFrames));
        double worst = INFINITY;
        for (int i = 0; i < kFrames; ++i) {
            const double quality = psnr(video.frames[i], picture.rgbFrame(i));
            worst = std::min(worst, quality);
            if (codec.psnrFloor == 0.0) {
                EXPECT_TRUE(video.frames[i] == picture.rgbFrame(i)) << "frame " << i << " differs";
            }
        }
        // The list of compressors calls lossless exactly those whose frames
        // came back unchanged above.
        EXPECT_EQ(findCompressor(codec.code)->lossless, codec.psnrFloor == 0.0)
            << "the lossless flag on offer";
        const bool even = picture.width % 2 == 0 && picture.height % 2 == 0;
        const double psnrFloor = even ? codec.psnrFloor : codec.psnrFloorOdd;
        if (codec.psnrFloor != 0.0) {
            EXPECT_GE(worst, psnrFloor);
        }
        size_t total = 0;
        for (size_t bytes : recording.sampleBytes) {
            total += bytes;
        }
        std::printf("[ quality  ] %s %dx%d/%d: worst PSNR %.2f dB, %zu bytes\n",
                    codec.code.c_str(), picture.width, picture.height, picture.bitsPerPixel, worst,
                    total);
    }

    TempDir dir_;
};

TEST_P(CodecRecording, EvenSize) { recordAndRead(TestPicture{64, 48}); }

TEST_P(CodecRecording, OddSizeOrRefusal) {
    const TestPicture picture{65, 49};
    if (GetParam().oddSizes) {
        recordAndRead(picture);
        return;
    }
    // The refusal comes from the codec itself, as a bad format.
    const Recording recording = record(settingsFor(), picture, kFrames, dir_.file("odd.avi"));
    EXPECT_EQ(recording.created, AVIERR_OK);
    EXPECT_EQ(recording.opened, AVIERR_BADFORMAT);
    EXPECT_TRUE(recording.format.empty());
}

TEST_P(CodecRecording, ThirtyTwoBitFrames) { recordAndRead(TestPicture{64, 48, 32}); }

TEST_P(CodecRecording, TopDownFrames) { recordAndRead(TestPicture{64, 48, 24, true}); }

std::string codecName(const ::testing::TestParamInfo<CodecExpectation>& info) {
    return info.param.probeName;
}

INSTANTIATE_TEST_SUITE_P(Offered, CodecRecording, ::testing::ValuesIn(offeredCodecs()), codecName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CodecRecording);

}  // namespace
