// The avirec program run as a user runs it: on image files, on its test
// picture, and with arguments that cannot work.
#include <gtest/gtest.h>

#include <fstream>

#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"

namespace {

struct RunResult {
    int status;
    std::string output;  // standard output and standard error together
};

RunResult runAvirec(const std::string& arguments) {
    RunResult result;
    result.status = runCommand(std::string(AVIREC_PATH) + " " + arguments + " 2>&1 </dev/null",
                               &result.output);
    return result;
}

// A binary PPM with pixels from `seed`; returns them as rgb24, top row first.
std::vector<uint8_t> writePpm(const std::string& path, int width, int height, int seed) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>((i * 37 + static_cast<size_t>(seed) * 101 + i / 7) & 0xFF);
    }
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
    return pixels;
}

class Avirec : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(Avirec, RecordsImageFilesFrameForFrame) {
    std::vector<std::vector<uint8_t>> expected;
    expected.push_back(writePpm(dir_.file("a.ppm"), 37, 21, 1));
    expected.push_back(writePpm(dir_.file("b.ppm"), 37, 21, 2));
    expected.push_back(writePpm(dir_.file("c.ppm"), 37, 21, 3));
    // The second image as PNG, made by ffmpeg, decodes to the same pixels.
    ASSERT_EQ(runCommand(std::string(FFMPEG_EXECUTABLE) + " -v error -y -i " +
                         shellQuote(dir_.file("b.ppm")) + " " + shellQuote(dir_.file("b.png"))),
              0);
    const std::string movie = dir_.file("images.avi");
    const RunResult run = runAvirec("--codec full --fps 25 --name 'avirec test' " +
                                    shellQuote(movie) + " " + shellQuote(dir_.file("a.ppm")) + " " +
                                    shellQuote(dir_.file("b.png")) + " " +
                                    shellQuote(dir_.file("c.ppm")));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "") << "quiet when standard error is not a terminal";
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video));
    EXPECT_EQ(video.width, 37);
    EXPECT_EQ(video.height, 21);
    ASSERT_EQ(video.frames.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(video.frames[i], expected[i]) << "frame " << i;
    }
    const auto probe = probeVideoStream(movie);
    EXPECT_EQ(probe.at("r_frame_rate"), "25/1");
    EXPECT_EQ(probe.at("TAG:title"), "avirec test");
}

TEST_F(Avirec, RecordsItsTestPicture) {
    const std::string movie = dir_.file("pattern.avi");
    const RunResult run = runAvirec("--size 96x64 --frames 5 --codec full " + shellQuote(movie));
    ASSERT_EQ(run.status, 0) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video));
    EXPECT_EQ(video.width, 96);
    EXPECT_EQ(video.height, 64);
    ASSERT_EQ(video.frames.size(), 5u);
    EXPECT_NE(video.frames[0], video.frames[1]) << "the picture moves";
    // The colour strip along the top runs red, green, blue, white from the left.
    const auto pixel = [&](int x, int y) {
        const size_t at = (static_cast<size_t>(y) * 96 + x) * 3;
        return std::vector<int>{video.frames[0][at], video.frames[0][at + 1],
                                video.frames[0][at + 2]};
    };
    EXPECT_EQ(pixel(2, 1), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(pixel(26, 1), (std::vector<int>{0, 255, 0}));
    EXPECT_EQ(pixel(50, 1), (std::vector<int>{0, 0, 255}));
    EXPECT_EQ(pixel(93, 1), (std::vector<int>{255, 255, 255}));
}

TEST_F(Avirec, RecordsRawPlanarFrames) {
    // Two 3 x 2 frames as green, blue and red planes.
    const std::string raw = dir_.file("frames.gbrp");
    std::vector<uint8_t> bytes(2 * 3 * 6);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const std::string movie = dir_.file("raw.avi");
    const RunResult run =
        runAvirec("--codec full --size 3x2 --raw-gbrp " + shellQuote(raw) + " " + shellQuote(movie));
    ASSERT_EQ(run.status, 0) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video, "gbrp"));
    ASSERT_EQ(video.frames.size(), 2u);
    EXPECT_EQ(video.frames[0], std::vector<uint8_t>(bytes.begin(), bytes.begin() + 18));
    EXPECT_EQ(video.frames[1], std::vector<uint8_t>(bytes.begin() + 18, bytes.end()));
}

TEST_F(Avirec, PreferenceFileAppliesAndOptionsOverrideIt) {
    const std::string preferences = dir_.file("preferences.ini");
    std::ofstream(preferences) << "[vantorel_movies]\nmoviespeed = 12\nmoviestring = From file\n";
    const std::string env = "JHOST_PREFERENCES=" + shellQuote(preferences) + " ";
    const std::string fromFile = dir_.file("file.avi");
    ASSERT_EQ(runCommand(env + AVIREC_PATH + " --size 8x8 --frames 2 --codec full " +
                         shellQuote(fromFile) + " </dev/null"),
              0);
    auto probe = probeVideoStream(fromFile);
    EXPECT_EQ(probe.at("r_frame_rate"), "12/1");
    EXPECT_EQ(probe.at("TAG:title"), "From file");

    const std::string overridden = dir_.file("override.avi");
    ASSERT_EQ(runCommand(env + AVIREC_PATH + " --fps 20 --size 8x8 --frames 2 --codec full " +
                         shellQuote(overridden) + " </dev/null"),
              0);
    probe = probeVideoStream(overridden);
    EXPECT_EQ(probe.at("r_frame_rate"), "20/1");
    EXPECT_EQ(probe.at("TAG:title"), "From file") << "only the rate was overridden";
}

TEST_F(Avirec, RefusedFrameIsAnErrorWithThePluginsMessage) {
    // Video 1 works on blocks of 4 x 4 pixels and refuses an odd frame size.
    const std::string movie = dir_.file("refused.avi");
    const RunResult run = runAvirec("--size 33x21 --frames 3 --codec msvc " + shellQuote(movie));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Unable to use specified compressor.  Use either Video 1, Cinepak "
                              "Codec, or Full Frames."),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("frame 0 could not be written"), std::string::npos) << run.output;
}

TEST_F(Avirec, ListsTheCompressorsAndHelps) {
    const RunResult codecs = runAvirec("--list-codecs");
    EXPECT_EQ(codecs.status, 0);
    EXPECT_NE(codecs.output.find("full"), std::string::npos) << codecs.output;
    const RunResult help = runAvirec("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: avirec"), std::string::npos);
}

struct BadRun {
    const char* label;
    const char* arguments;  // {dir} stands for the test's folder
    int status;
    const char* message;
};

void PrintTo(const BadRun& run, std::ostream* out) { *out << run.arguments; }

class AvirecRefuses : public Avirec, public ::testing::WithParamInterface<BadRun> {};

TEST_P(AvirecRefuses, WithAClearMessage) {
    writePpm(dir_.file("small.ppm"), 4, 4, 1);
    writePpm(dir_.file("big.ppm"), 5, 4, 2);
    std::string arguments = GetParam().arguments;
    for (size_t at; (at = arguments.find("{dir}")) != std::string::npos;) {
        arguments.replace(at, 5, dir_.path().string());
    }
    const RunResult run = runAvirec(arguments);
    EXPECT_EQ(run.status, GetParam().status) << run.output;
    EXPECT_NE(run.output.find(GetParam().message), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, AvirecRefuses,
    ::testing::Values(
        BadRun{"NoOutput", "--frames 3", 2, "no output file"},
        BadRun{"ZeroSize", "--size 0x5 {dir}/x.avi", 2, "--size needs"},
        BadRun{"SizeWithoutCross", "--size 640 {dir}/x.avi", 2, "--size needs"},
        BadRun{"FramesNotANumber", "--frames many {dir}/x.avi", 2, "--frames needs"},
        BadRun{"NegativeFps", "--fps -3 {dir}/x.avi", 2, "--fps needs"},
        BadRun{"UnknownOption", "--colour {dir}/x.avi", 2, "unknown option '--colour'"},
        BadRun{"MissingValue", "{dir}/x.avi --codec", 2, "--codec needs a value"},
        BadRun{"RawWithoutSize", "--raw-gbrp {dir}/small.ppm {dir}/x.avi", 2, "needs --size"},
        BadRun{"ImagesOfTwoSizes", "--codec full {dir}/x.avi {dir}/small.ppm {dir}/big.ppm", 1,
               "but the first image is 4x4"},
        BadRun{"UnreadableImage", "--codec full {dir}/x.avi {dir}/none.png", 1,
               "cannot open image"},
        BadRun{"OutputFolderMissing", "--codec full --frames 2 {dir}/no/x.avi", 1,
               "cannot create the movie"},
        BadRun{"Cancelled", "--codec cancel --frames 2 {dir}/x.avi", 1, "cannot create the movie"},
        BadRun{"MissingPlugin", "--plugin {dir}/none.so {dir}/x.avi", 1,
               "cannot load the plug-in"}),
    [](const ::testing::TestParamInfo<BadRun>& testInfo) { return testInfo.param.label; });

}  // namespace
