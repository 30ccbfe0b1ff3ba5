// Key frames: the interval asked for, the flags readers find in the file
// being those the codec produced, and the samples themselves telling them.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec_expectations.h"
#include "codecs/encoder.h"
#include "codecs/key_frame_probe.h"
#include "recording.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

using avifile::codecs::EncoderSettings;
using avifile::codecs::findCompressor;

namespace {

constexpr int kFrames = 13;

class KeyFrames : public ::testing::TestWithParam<CodecExpectation> {
protected:
    // Records with the interval and returns the flags encode() gave, after
    // checking that the file's index and the stream agree with them.
    std::vector<bool> keysFor(uint32_t keyFrameEvery) {
        EncoderSettings settings;
        settings.fourcc = findCompressor(GetParam().code)->fourcc;
        settings.keyFrameEvery = keyFrameEvery;
        const std::string path = dir_.file("keys.avi");
        const Recording recording = record(settings, TestPicture{64, 48}, kFrames, path);
        EXPECT_TRUE(recording.written);
        EXPECT_EQ(probeKeyFrames(path), recording.keyFrames);
        // What a repair of the file, without its index, would make of each
        // sample: the same flags, read from the samples themselves.
        const riffcheck::File file = riffcheck::parseFile(path);
        const auto bytes = riffcheck::readWholeFile(path);
        const BITMAPINFOHEADER format = formatHeader(recording.format);
        const avifile::codecs::ProbedFormat probed{format.biCompression, format.biWidth,
                                                   format.biHeight};
        std::vector<bool> probedKeys;
        for (const riffcheck::Sample& sample : file.samples) {
            probedKeys.push_back(avifile::codecs::sampleIsKeyFrame(
                probed, riffcheck::sampleData(bytes, sample)));
        }
        EXPECT_EQ(probedKeys, recording.keyFrames);
        return recording.keyFrames;
    }

    static std::vector<bool> every(int n) {
        std::vector<bool> keys(kFrames);
        for (int i = 0; i < kFrames; ++i) {
            keys[i] = i % n == 0;
        }
        return keys;
    }

    TempDir dir_;
};

TEST_P(KeyFrames, EveryFourthFrame) {
    const std::vector<bool> keys = keysFor(4);
    if (GetParam().intraOnly) {
        EXPECT_EQ(keys, every(1));
    } else if (!GetParam().addsKeyFrames) {
        EXPECT_EQ(keys, every(4));
    } else {
        // Every fourth frame is a key frame; others may be as well.
        ASSERT_EQ(keys.size(), static_cast<size_t>(kFrames));
        for (int i = 0; i < kFrames; i += 4) {
            EXPECT_TRUE(keys[i]) << "frame " << i;
        }
    }
}

TEST_P(KeyFrames, EveryFrame) { EXPECT_EQ(keysFor(1), every(1)); }

TEST_P(KeyFrames, CodecsOwnChoiceStartsWithAKeyFrame) {
    const std::vector<bool> keys = keysFor(0);
    ASSERT_EQ(keys.size(), static_cast<size_t>(kFrames));
    EXPECT_TRUE(keys[0]);
    const auto deltas = std::count(keys.begin(), keys.end(), false);
    if (GetParam().intraOnly) {
        EXPECT_EQ(deltas, 0);
    } else {
        EXPECT_GE(deltas, kFrames / 2) << "a codec with delta frames should use them";
    }
}

std::string codecName(const ::testing::TestParamInfo<CodecExpectation>& info) {
    return info.param.probeName;
}

INSTANTIATE_TEST_SUITE_P(Offered, KeyFrames, ::testing::ValuesIn(offeredCodecs()), codecName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KeyFrames);

}  // namespace
