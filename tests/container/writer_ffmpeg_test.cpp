// What ffmpeg makes of the files: the stream header as ffprobe reports it,
// and exactly the rows written, at odd sizes, across many RIFFs, with empty
// samples in between.
#include <gtest/gtest.h>

#include <cmath>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ContainerSettings;
using avifile::createFileSink;

struct PictureSize {
    int width;
    int height;
    int frames;
};

void PrintTo(const PictureSize& size, std::ostream* out) {
    *out << size.width << "x" << size.height;
}

class OddSizes : public ::testing::TestWithParam<PictureSize> {};

TEST_P(OddSizes, FfmpegGivesBackTheRowsWritten) {
    const PictureSize size = GetParam();
    TempDir dir;
    const std::string path = dir.file("odd.avi");
    auto writer = fixtures::videoWriter(createFileSink(path.c_str()), size.width, size.height, {},
                                        "BRELK");
    for (int i = 0; i < size.frames; ++i) {
        const auto frame = fixtures::dibFrame(size.width, size.height, i);
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    ASSERT_EQ(writer->finish(), AVIERR_OK);
    writer.reset();

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();

    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("codec_name"), "rawvideo");
    EXPECT_EQ(stream.at("width"), std::to_string(size.width));
    EXPECT_EQ(stream.at("height"), std::to_string(size.height));
    EXPECT_EQ(stream.at("r_frame_rate"), "15/1");
    EXPECT_EQ(stream.at("nb_frames"), std::to_string(size.frames));
    EXPECT_EQ(stream.at("TAG:title"), "BRELK");
    EXPECT_NEAR(std::stod(stream.at("duration")), size.frames / 15.0, 1e-3);

    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(size.frames));
    for (int i = 0; i < size.frames; ++i) {
        const auto expected = fixtures::expectedRgb(
            size.width, size.height, fixtures::dibFrame(size.width, size.height, i));
        ASSERT_EQ(video.frames[static_cast<size_t>(i)], expected) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Container, OddSizes,
                         ::testing::Values(PictureSize{1, 1, 4}, PictureSize{5, 3, 5},
                                           PictureSize{641, 481, 3}),
                         [](const ::testing::TestParamInfo<PictureSize>& param) {
                             return std::to_string(param.param.width) + "x" +
                                    std::to_string(param.param.height);
                         });

TEST(WriterFfmpeg, ManyRiffsAreReadWhole) {
    TempDir dir;
    const std::string path = dir.file("segments.avi");
    ContainerSettings settings;
    settings.riffLimit = 300 << 10;
    const int width = 64;
    const int height = 47;
    const int frames = 450;  // 9 KiB each: about 14 RIFFs
    auto writer = fixtures::videoWriter(createFileSink(path.c_str()), width, height, settings);
    for (int i = 0; i < frames; ++i) {
        const auto frame = fixtures::dibFrame(width, height, i);
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    ASSERT_EQ(writer->finish(), AVIERR_OK);
    writer.reset();

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_GE(file.riffTypes.size(), 12u);

    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("nb_frames"), std::to_string(frames));
    EXPECT_EQ(stream.at("nb_read_packets"), std::to_string(frames));
    EXPECT_NEAR(std::stod(stream.at("duration")), frames / 15.0, 1e-3);
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(video.frames[static_cast<size_t>(i)],
                  fixtures::expectedRgb(width, height, fixtures::dibFrame(width, height, i)))
            << "frame " << i;
    }
}

// Empty samples keep their place in time: the frames after them are shown
// at their own positions.
TEST(WriterFfmpeg, EmptySamplesKeepTheTiming) {
    TempDir dir;
    const std::string path = dir.file("gaps.avi");
    auto writer = fixtures::videoWriter(createFileSink(path.c_str()), 5, 3);
    const auto first = fixtures::dibFrame(5, 3, 1);
    const auto last = fixtures::dibFrame(5, 3, 2);
    ASSERT_EQ(writer->writeSample(0, first.data(), first.size(), true), AVIERR_OK);
    ASSERT_EQ(writer->writeSample(0, nullptr, 0, false), AVIERR_OK);
    ASSERT_EQ(writer->writeSample(0, nullptr, 0, false), AVIERR_OK);
    ASSERT_EQ(writer->writeSample(0, last.data(), last.size(), true), AVIERR_OK);
    ASSERT_EQ(writer->finish(), AVIERR_OK);
    writer.reset();

    std::string out;
    ASSERT_EQ(runCommand(std::string(FFPROBE_EXECUTABLE) +
                             " -v error -select_streams v:0 -show_entries packet=pts,size "
                             "-of csv=p=0 " +
                             shellQuote(path),
                         &out),
              0);
    // The two pictures at 0 and 3; ffmpeg passes over the empty samples.
    const std::string size = std::to_string(first.size());
    EXPECT_EQ(out, "0," + size + "\n3," + size + "\n");
    const auto stream = probeVideoStream(path);
    EXPECT_NEAR(std::stod(stream.at("duration")), 4 / 15.0, 1e-3);
}

}  // namespace
