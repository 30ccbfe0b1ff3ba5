// Whole recordings through the loaded plug-in, checked with ffmpeg, ffprobe
// and our own RIFF reader.
#include <memory>

#include "plugin_harness.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"

namespace {

struct FrameSize {
    int width;
    int height;
};

void PrintTo(const FrameSize& size, std::ostream* out) { *out << size.width << "x" << size.height; }

std::vector<std::unique_ptr<HostFrame>> makeFrames(int width, int height, int count) {
    std::vector<std::unique_ptr<HostFrame>> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(std::make_unique<HostFrame>(width, height, static_cast<uint32_t>(i + 1)));
    }
    return frames;
}

std::vector<const HostFrame*> pointers(const std::vector<std::unique_ptr<HostFrame>>& frames) {
    std::vector<const HostFrame*> list;
    for (const auto& frame : frames) {
        list.push_back(frame.get());
    }
    return list;
}

class Recording : public PluginTest, public ::testing::WithParamInterface<FrameSize> {};

TEST_P(Recording, DecodesBackToTheFramesPutIn) {
    const FrameSize size = GetParam();
    const auto frames = makeFrames(size.width, size.height, 4);
    const std::string path = dir_.file("movie.avi");
    const std::vector<int32_t> results = record(path, size.width, size.height, pointers(frames));
    EXPECT_EQ(results, std::vector<int32_t>(4, 1));
    EXPECT_TRUE(decodesTo(path, pointers(frames)));

    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    const riffcheck::Stream& stream = file.streams[0];
    ASSERT_EQ(stream.samples.size(), 4u);
    for (const riffcheck::Sample& sample : stream.samples) {
        EXPECT_TRUE(sample.keyFrame);
    }
    EXPECT_EQ(probeKeyFrames(path), std::vector<bool>(4, true));
}

INSTANTIATE_TEST_SUITE_P(OddAndEvenSizes, Recording,
                         ::testing::Values(FrameSize{1, 1}, FrameSize{2, 2}, FrameSize{5, 3},
                                           FrameSize{3, 5}, FrameSize{64, 48},
                                           FrameSize{641, 481}),
                         [](const ::testing::TestParamInfo<FrameSize>& testInfo) {
                             return std::to_string(testInfo.param.width) + "x" +
                                    std::to_string(testInfo.param.height);
                         });

using MovieLifecycle = PluginTest;

TEST_F(MovieLifecycle, RecordHoldsPathSizeAndCountOfFramesWritten) {
    const std::string path = dir_.file("take.avi");
    const auto frames = makeFrames(6, 4, 3);
    MovieRecord* movie = plugin().create(path.c_str(), 6, 4);
    ASSERT_NE(movie, nullptr);
    EXPECT_STREQ(movie->fileName, path.c_str());
    EXPECT_NE(movie->fileName, path.c_str()) << "the record keeps a copy of the path";
    EXPECT_EQ(movie->width, 6);
    EXPECT_EQ(movie->height, 4);
    EXPECT_EQ(movie->frameCount, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(plugin().addFrame(movie, 6, 4, &frames[static_cast<size_t>(i)]->stack), 1);
        EXPECT_EQ(movie->frameCount, i + 1);
    }
    plugin().close(movie);
    EXPECT_TRUE(decodesTo(path, pointers(frames)));
}

TEST_F(MovieLifecycle, StreamHeaderDescribesTheFrames) {
    const std::string path = dir_.file("header.avi");
    const auto frames = makeFrames(640, 480, 1);
    record(path, 640, 480, pointers(frames));
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    const riffcheck::StreamHeader& header = file.streams[0].header;
    EXPECT_EQ(header.type, riffcheck::code("vids"));
    EXPECT_EQ(header.scale, 1u);
    EXPECT_EQ(header.rate, 15u);
    EXPECT_EQ(header.suggestedBufferSize, 921600u);
    EXPECT_EQ(header.frameLeft, 0);
    EXPECT_EQ(header.frameTop, 0);
    EXPECT_EQ(header.frameRight, 640);
    EXPECT_EQ(header.frameBottom, 480);
    EXPECT_EQ(header.length, 1u);
    EXPECT_EQ(file.streams[0].name, "BRELK");
    // The format is the plug-in's 24-bit bottom-up header.
    const std::vector<uint8_t>& format = file.streams[0].format;
    ASSERT_GE(format.size(), 40u);
    EXPECT_EQ(format[14] | (format[15] << 8), 24) << "biBitCount";
    EXPECT_EQ(format[8] | (format[9] << 8) | (format[10] << 16) | (format[11] << 24), 480)
        << "biHeight, positive for rows stored bottom-up";
}

TEST_F(MovieLifecycle, CloseWithoutFramesLeavesACompleteEmptyMovie) {
    const std::string path = dir_.file("empty.avi");
    MovieRecord* movie = plugin().create(path.c_str(), 32, 16);
    ASSERT_NE(movie, nullptr);
    plugin().close(movie);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_TRUE(file.streams[0].samples.empty());
    EXPECT_EQ(file.streams[0].header.length, 0u);
    // No frame set a format; the stream is described as 24-bit frames of
    // the movie's size, which readers accept as an empty movie.
    EXPECT_EQ(file.streams[0].format.size(), 40u);
    const auto stream = probeVideoStream(path);
    EXPECT_EQ(stream.at("width"), "32");
    EXPECT_EQ(stream.at("height"), "16");
}

TEST_F(MovieLifecycle, MoviesOneAfterAnotherAreIndependent) {
    const auto first = makeFrames(8, 6, 2);
    const auto second = makeFrames(9, 7, 3);
    const std::string firstPath = dir_.file("first.avi");
    const std::string secondPath = dir_.file("second.avi");
    EXPECT_EQ(record(firstPath, 8, 6, pointers(first)), std::vector<int32_t>(2, 1));
    // The second movie starts at position 0 and sets its own format.
    EXPECT_EQ(record(secondPath, 9, 7, pointers(second)), std::vector<int32_t>(3, 1));
    EXPECT_TRUE(decodesTo(firstPath, pointers(first)));
    EXPECT_TRUE(decodesTo(secondPath, pointers(second)));
}

TEST_F(MovieLifecycle, OverwritesAnExistingFile) {
    const std::string path = dir_.file("again.avi");
    const auto longer = makeFrames(16, 16, 5);
    const auto shorter = makeFrames(4, 4, 1);
    record(path, 16, 16, pointers(longer));
    record(path, 4, 4, pointers(shorter));
    EXPECT_TRUE(decodesTo(path, pointers(shorter)));
}

TEST_F(MovieLifecycle, TypeNameStaysTheSameThroughARecording) {
    const char* before = plugin().getTypeName();
    MovieRecord* movie = plugin().create(dir_.file("named.avi").c_str(), 2, 2);
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(plugin().getTypeName(), before);
    plugin().close(movie);
    EXPECT_EQ(plugin().getTypeName(), before);
    EXPECT_STREQ(before, "Microsoft AVI");
}

}  // namespace
