// Whole recordings through the calls, as ffmpeg and ffprobe read them, and
// the stream header fields as the caller set them.
#include <cstring>

#include "api_fixture.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibFrame;
using apitest::dibHeader;

class FullFramesRecording : public ApiTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(FullFramesRecording, FfmpegDecodesExactlyTheRowsWritten) {
    const auto [width, height] = GetParam();
    const std::string path = dir_.file("movie.avi");
    const AVISTREAMINFOA info = apitest::videoInfo(width, height, 15, "BRELK");
    Recording recording = open(path, width, height, comptypeDIB, &info);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(width, height));
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    const int frames = 4;
    for (int i = 0; i < frames; ++i) {
        std::vector<uint8_t> frame = dibFrame(width, height, i);
        ASSERT_EQ(AVIStreamWrite(recording.compressed, i, 1, frame.data(),
                                 static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr, nullptr),
                  AVIERR_OK);
    }
    close(recording);

    const auto probed = probeVideoStream(path);
    EXPECT_EQ(probed.at("width"), std::to_string(width));
    EXPECT_EQ(probed.at("height"), std::to_string(height));
    EXPECT_EQ(probed.at("r_frame_rate"), "15/1");
    EXPECT_EQ(probed.at("TAG:title"), "BRELK");
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(video.frames[static_cast<size_t>(i)], apitest::rgbRowsOf(dibFrame(width, height, i), width, height))
            << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(OddAndEvenSizes, FullFramesRecording,
                         ::testing::Values(std::pair{1, 1}, std::pair{5, 3}, std::pair{641, 481},
                                           std::pair{64, 48}));

TEST_F(ApiTest, TheStreamHeaderCarriesTheFieldsAsSet) {
    const std::string path = dir_.file("header.avi");
    AVISTREAMINFOA info = apitest::videoInfo(10, 6, 30000, "A stream name");
    info.fccHandler = comptypeDIB;
    info.dwScale = 1001;
    info.dwFlags = 0;
    info.wPriority = 2;
    info.wLanguage = 9;
    info.dwQuality = 7000;
    info.rcFrame = {1, 2, 11, 8};
    info.dwSuggestedBufferSize = 100;  // smaller than a frame: the largest sample wins
    Recording recording = open(path, 10, 6, comptypeDIB, &info);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(10, 6));
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> frame = dibFrame(10, 6, i);
        ASSERT_EQ(AVIStreamWrite(recording.compressed, i, 1, frame.data(),
                                 static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr, nullptr),
                  AVIERR_OK);
    }
    close(recording);

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    const riffcheck::StreamHeader& header = file.streams[0].header;
    EXPECT_EQ(header.type, streamtypeVIDEO);
    EXPECT_EQ(header.handler, comptypeDIB);
    EXPECT_EQ(header.scale, 1001u);
    EXPECT_EQ(header.rate, 30000u);
    EXPECT_EQ(header.priority, 2u);
    EXPECT_EQ(header.language, 9u);
    EXPECT_EQ(header.quality, 7000u);
    EXPECT_EQ(header.length, 3u);
    EXPECT_EQ(header.suggestedBufferSize, 32u * 6);
    EXPECT_EQ(header.frameLeft, 1);
    EXPECT_EQ(header.frameTop, 2);
    EXPECT_EQ(header.frameRight, 11);
    EXPECT_EQ(header.frameBottom, 8);
    EXPECT_TRUE(file.streams[0].hasName);
    EXPECT_EQ(file.streams[0].name, "A stream name");
    EXPECT_EQ(file.mainHeader.totalFrames, 3u);
    EXPECT_EQ(file.mainHeader.microSecPerFrame, 33367u);

    const auto probed = probeVideoStream(path);
    EXPECT_EQ(probed.at("r_frame_rate"), "30000/1001");
    EXPECT_EQ(probed.at("TAG:title"), "A stream name");
}

TEST_F(ApiTest, TheSuggestedBufferSizeKeepsALargerValueOfTheCaller) {
    const std::string path = dir_.file("buffer.avi");
    AVISTREAMINFOA info = apitest::videoInfo(4, 2);
    info.dwSuggestedBufferSize = 1 << 20;
    Recording recording = open(path, 4, 2, comptypeDIB, &info);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(4, 2));
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    std::vector<uint8_t> frame = dibFrame(4, 2, 0);
    ASSERT_EQ(AVIStreamWrite(recording.compressed, 0, 1, frame.data(), 24, AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    close(recording);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.streams[0].header.suggestedBufferSize, 1u << 20);
    EXPECT_FALSE(file.streams[0].hasName) << "an empty name gives no strn";
}

}  // namespace
