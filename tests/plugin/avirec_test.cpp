// The avirec program run as a user runs it: on image files, on its test
// picture, and with arguments that cannot work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"

namespace {

struct RunResult {
    int status;
    std::string output;  // standard output and standard error together
};

// Runs avirec with `arguments` (and `environment` settings before it). A run
// that hangs is ended after two minutes, with status 124.
RunResult runAvirec(const std::string& arguments, const std::string& environment = "") {
    RunResult result;
    result.status = runCommand(environment + " timeout 120 " + AVIREC_PATH + " " + arguments +
                                   " 2>&1 </dev/null",
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
    const std::string copy = dir_.file("pattern.rgb");
    const RunResult run = runAvirec("--size 96x64 --frames 5 --codec full --raw-out " +
                                    shellQuote(copy) + " " + shellQuote(movie));
    ASSERT_EQ(run.status, 0) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video));
    EXPECT_EQ(video.width, 96);
    EXPECT_EQ(video.height, 64);
    ASSERT_EQ(video.frames.size(), 5u);
    // --raw-out holds what was recorded: the decoded frames, byte for byte.
    std::ifstream copied(copy, std::ios::binary);
    std::vector<uint8_t> recorded(std::istreambuf_iterator<char>(copied), {});
    std::vector<uint8_t> decoded;
    for (const auto& frame : video.frames) {
        decoded.insert(decoded.end(), frame.begin(), frame.end());
    }
    EXPECT_TRUE(recorded == decoded);
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

TEST_F(Avirec, FpsTakesEveryPlainDecimalForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"29.97", "30/1"}, {"14.5", "15/1"}, {"0.5", "1/1"}, {".5", "1/1"},
        {"25.", "25/1"},   {"007", "7/1"},   {"2147483647", "2147483647/1"}};
    const std::string movie = dir_.file("rate.avi");
    for (const auto& [fps, rate] : cases) {
        const RunResult run =
            runAvirec("-y --codec full --size 8x8 --frames 1 --fps " + std::string(fps) + " " +
                      shellQuote(movie));
        ASSERT_EQ(run.status, 0) << fps << ": " << run.output;
        EXPECT_EQ(probeVideoStream(movie).at("r_frame_rate"), rate) << fps;
    }
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

// A write refused by the system ends the recording with the layer's reason
// in the message, and the frames before it stay a complete movie.
TEST_F(Avirec, FileSizeLimitEndsTheRecordingWithItsReason) {
    for (const char* codec : {"full", "mjpeg"}) {
        const std::string movie = dir_.file(std::string(codec) + ".avi");
        const RunResult run =
            runAvirec("--codec " + std::string(codec) + " --size 64x64 --frames 2000 " +
                          shellQuote(movie),
                      "prlimit --fsize=100000");
        EXPECT_EQ(run.status, 1) << codec << ": " << run.output;
        EXPECT_NE(run.output.find(" could not be written: the file has reached the largest size "
                                  "allowed\n"),
                  std::string::npos)
            << codec << ": " << run.output;
        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(movie, video)) << codec;
        ASSERT_GT(video.frames.size(), 0u) << codec;
        EXPECT_NE(run.output.find("frame " + std::to_string(video.frames.size()) +
                                  " could not be written"),
                  std::string::npos)
            << codec << ": every frame before the failed one is in the movie\n"
            << run.output;
    }
}

TEST_F(Avirec, ListsTheCompressorsAndHelps) {
    const RunResult codecs = runAvirec("--list-codecs");
    EXPECT_EQ(codecs.status, 0);
    EXPECT_NE(codecs.output.find("full"), std::string::npos) << codecs.output;
    const RunResult help = runAvirec("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: avirec"), std::string::npos);
}

TEST_F(Avirec, FramesWrittenBeforeAFailureStayInACompleteMovie) {
    const std::vector<uint8_t> first = writePpm(dir_.file("a.ppm"), 8, 6, 1);
    const std::vector<uint8_t> second = writePpm(dir_.file("b.ppm"), 8, 6, 2);
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    const std::string movie = dir_.file("partial.avi");
    const RunResult run =
        runAvirec("--codec full " + shellQuote(movie) + " " + shellQuote(dir_.file("a.ppm")) + " " +
                  shellQuote(dir_.file("b.ppm")) + " " + shellQuote(dir_.file("fifo")));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("is not a regular file"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("holds the 2 frames written before"), std::string::npos) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video));
    ASSERT_EQ(video.frames.size(), 2u);
    EXPECT_EQ(video.frames[0], first);
    EXPECT_EQ(video.frames[1], second);
}

// The test picture's drawing costs in proportion to the pixels at any frame
// size the movie takes, and the text that does not fit is left out: a
// frame a pixel wide and two million tall once took minutes for the frame
// number's glyphs. Wide frames once overflowed its colour ramp (the
// sanitizer build sees that).
// A recording killed with SIGKILL is finished by --repair: every frame in
// the file decodes and is counted; a second repair changes nothing; a file
// that is not such a recording is refused and left alone.
TEST_F(Avirec, RepairFinishesAKilledRecording) {
    const std::string movie = dir_.file("killed.avi");
    std::string ignored;
    ASSERT_EQ(runCommand(std::string("(") + AVIREC_PATH +
                             " --size 160x120 --frames 1000000 --codec mjpeg " + shellQuote(movie) +
                             " & sleep 1; kill -9 $!; wait) >/dev/null 2>&1",
                         &ignored),
              0);
    RunResult run = runAvirec("--repair " + shellQuote(movie));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("repaired"), std::string::npos) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(movie, video));
    ASSERT_GT(video.frames.size(), 5u) << "the recording ran for a second";
    EXPECT_EQ(probeVideoStream(movie).at("nb_frames"), std::to_string(video.frames.size()));

    run = runAvirec("--repair " + shellQuote(movie));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("nothing was changed"), std::string::npos) << run.output;

    const std::string notes = dir_.file("notes.avi");
    std::ofstream(notes) << "not a movie";
    run = runAvirec("--repair " + shellQuote(notes));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("cannot repair"), std::string::npos) << run.output;
    std::ifstream kept(notes);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not a movie");
}

// Another writer's recording cut off: --output repairs it into a new file
// and leaves it as it was; --like, --output and --repair's --size and --fps
// for a file whose headers are there are refused with the reason.
TEST_F(Avirec, RepairIntoANewFileLeavesTheCutOneAlone) {
    const std::string cut = dir_.file("cut.avi");
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 30 "
                         "-c:v mjpeg " + shellQuote(cut) + " && truncate -s 40000 " + shellQuote(cut)),
              0);
    std::ifstream in(cut, std::ios::binary);
    const std::string before(std::istreambuf_iterator<char>(in), {});
    const std::string fixed = dir_.file("fixed.avi");
    RunResult run = runAvirec("--repair " + shellQuote(cut) + " --output " + shellQuote(fixed));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("repaired " + fixed), std::string::npos) << run.output;
    std::ifstream after(cut, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), before);
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(fixed, video));
    EXPECT_GT(video.frames.size(), 5u);
    EXPECT_EQ(probeVideoStream(fixed).at("nb_frames"), std::to_string(video.frames.size()));

    // An --output that exists is overwritten only with -y.
    run = runAvirec("--repair " + shellQuote(cut) + " --output " + shellQuote(fixed));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("pass -y to overwrite it"), std::string::npos) << run.output;
    run = runAvirec("-y --repair " + shellQuote(cut) + " --output " + shellQuote(fixed));
    EXPECT_EQ(run.status, 0) << run.output;

    run = runAvirec("--repair " + shellQuote(cut) + " --fps 25");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("only for a file whose headers were never written"), std::string::npos)
        << run.output;
    run = runAvirec("--like " + shellQuote(fixed) + " " + shellQuote(dir_.file("new.avi")));
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("--like goes with --repair"), std::string::npos) << run.output;
}

TEST_F(Avirec, TheTestPictureDrawsAtExtremeSizes) {
    const std::string movie = dir_.file("extreme.avi");
    for (const char* size : {"1x2000000", "2000000x1", "1x1", "8421505x2"}) {
        const RunResult run = runAvirec("-y --codec full --frames 2 --size " + std::string(size) + " " +
                                        shellQuote(movie));
        EXPECT_EQ(run.output.find("runtime error"), std::string::npos) << size << ": " << run.output;
        // Frames too large for players are refused by the layer, with its reason.
        if (run.status == 1) {
            EXPECT_NE(run.output.find("frame 0 could not be written: "), std::string::npos)
                << size << ": " << run.output;
            continue;
        }
        ASSERT_EQ(run.status, 0) << size << ": " << run.output;
        const auto probe = probeVideoStream(movie);
        const std::string dimensions = std::string(size);
        EXPECT_EQ(probe.at("width") + "x" + probe.at("height"), dimensions);
        EXPECT_EQ(probe.at("nb_read_packets"), "2") << size;
    }
}

// Memory running out is a message and exit status 1, never an exception
// escaping main; the movie is closed and readable. (The sanitizers reserve
// more address space than the limit allows, so only the plain build runs it.)
TEST_F(Avirec, RunningOutOfMemoryIsAFailureWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#endif
    const std::string movie = dir_.file("big.avi");
    for (const char* limit : {"300000000", "500000000"}) {
        const RunResult run = runAvirec("-y --codec full --frames 3 --size 8000x8000 " +
                                            shellQuote(movie),
                                        std::string("prlimit --as=") + limit);
        EXPECT_EQ(run.status, 1) << limit << ": " << run.output;
        EXPECT_EQ(run.output.find("terminate"), std::string::npos) << run.output;
        EXPECT_TRUE(run.output.find("avirec: not enough memory for frame 0 (8000x8000)") !=
                        std::string::npos ||
                    run.output.find("avirec: frame 0 could not be written") != std::string::npos)
            << limit << ": " << run.output;
        EXPECT_NE(run.output.find("holds the 0 frames written before"), std::string::npos)
            << run.output;
        std::string format;
        EXPECT_EQ(runCommand(std::string(FFPROBE_EXECUTABLE) +
                                 " -v error -show_entries format=format_name -of csv=p=0 " +
                                 shellQuote(movie),
                             &format),
                  0);
        EXPECT_EQ(format, "avi\n") << "the movie was closed";
    }
}

struct BadRun {
    const char* label;
    const char* arguments;  // {dir} stands for the test's folder
    int status;
    const char* message;    // {dir} as above
    const char* environment = "";
};

void PrintTo(const BadRun& run, std::ostream* out) {
    *out << run.environment << " " << run.arguments;
}

class AvirecRefuses : public Avirec, public ::testing::WithParamInterface<BadRun> {
protected:
    std::string inDir(std::string text) const {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) {
            text.replace(at, 5, dir_.path().string());
        }
        return text;
    }
};

TEST_P(AvirecRefuses, WithAClearMessage) {
    writePpm(dir_.file("small.ppm"), 4, 4, 1);
    writePpm(dir_.file("big.ppm"), 5, 4, 2);
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    std::ofstream(dir_.file("large.ini")) << std::string((1 << 20) + 1, '#');
    const RunResult run = runAvirec(inDir(GetParam().arguments), inDir(GetParam().environment));
    EXPECT_EQ(run.status, GetParam().status) << run.output;
    EXPECT_NE(run.output.find(inDir(GetParam().message)), std::string::npos) << run.output;
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
               "image {dir}/small.ppm is 4x4, but the first image is 5x4"},
        BadRun{"UnreadableImage", "--codec full {dir}/x.avi {dir}/none.png", 1,
               "cannot open image"},
        BadRun{"OutputFolderMissing", "--codec full --frames 2 {dir}/no/x.avi", 1,
               "cannot create the movie"},
        BadRun{"Cancelled", "--codec cancel --frames 2 {dir}/x.avi", 1, "cannot create the movie"},
        BadRun{"MissingPlugin", "--plugin {dir}/none.so {dir}/x.avi", 1,
               "cannot load the plug-in"},
        // What is no regular file is refused at once: a FIFO would block the
        // open, a device would be read without end.
        BadRun{"ImageIsAFifo", "--codec full {dir}/x.avi {dir}/fifo", 1,
               "image {dir}/fifo is not a regular file"},
        BadRun{"ImageIsADevice", "--codec full {dir}/x.avi /dev/zero", 1,
               "image /dev/zero is not a regular file"},
        BadRun{"ImageIsAFolder", "--codec full {dir}/x.avi {dir}", 1, "is not a regular file"},
        // Raw frames stream from files, FIFOs and pipes, never from a device.
        BadRun{"RawIsADevice", "--codec full --size 4x4 --raw-gbrp /dev/zero {dir}/x.avi", 1,
               "/dev/zero is not a regular file, FIFO or pipe"},
        BadRun{"RawIsAFolder", "--codec full --size 4x4 --raw rgb24 {dir}/x.avi {dir}", 1,
               "is not a regular file, FIFO or pipe"},
        BadRun{"RawAndRawGbrp", "--size 4x4 --raw rgb24 --raw-gbrp {dir}/small.ppm {dir}/x.avi", 2,
               "--raw and --raw-gbrp do not go together"},
        BadRun{"PreferencesAreAFifo", "--codec full --size 4x4 --frames 1 {dir}/x.avi", 0,
               "avirec: the preference file {dir}/fifo is not a regular file; going on without it",
               "JHOST_PREFERENCES={dir}/fifo"},
        BadRun{"PreferencesAreEndless", "--codec full --size 4x4 --frames 1 {dir}/x.avi", 0,
               "the preference file /dev/urandom is not a regular file",
               "JHOST_PREFERENCES=/dev/urandom"},
        BadRun{"PreferencesAreZeros", "--codec full --size 4x4 --frames 1 {dir}/x.avi", 0,
               "the preference file /dev/zero is not a regular file", "JHOST_PREFERENCES=/dev/zero"},
        BadRun{"PreferencesTooLarge", "--codec full --size 4x4 --frames 1 {dir}/x.avi", 0,
               "the preference file {dir}/large.ini is larger than 1 MiB",
               "JHOST_PREFERENCES={dir}/large.ini"},
        // Numbers are plain decimals: what the C library would also read
        // (hexadecimal, exponents, infinities) is refused, not misread.
        BadRun{"FpsHex", "--fps 0x10 {dir}/x.avi", 2, "--fps needs a decimal number"},
        BadRun{"FpsInfinite", "--fps inf {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsNotANumber", "--fps nan {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsExponent", "--fps 1e3 {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsOverflowing", "--fps 1e999 {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsSigned", "--fps +25 {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsBlank", "--fps ' 25' {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsTwoPoints", "--fps 2.5.1 {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsOnlyAPoint", "--fps . {dir}/x.avi", 2, "--fps needs"},
        BadRun{"FpsRoundingToZero", "--fps 0.49 {dir}/x.avi", 2, "from 0.5 to 2147483647"},
        BadRun{"FpsAboveTheLargest", "--fps 2147483647.5 {dir}/x.avi", 2, "from 0.5 to 2147483647"},
        BadRun{"SizeHex", "--size 16x0x10 {dir}/x.avi", 2, "--size needs"},
        BadRun{"SizeSigned", "--size +8x8 {dir}/x.avi", 2, "--size needs"},
        BadRun{"SizeExponent", "--size 1e3x8 {dir}/x.avi", 2, "--size needs"},
        BadRun{"SizeOverflowing", "--size 8x2147483648 {dir}/x.avi", 2, "--size needs"},
        BadRun{"SizeLargerThanAFrame", "--size 715827882x1 {dir}/x.avi", 2,
               "--size 715827882x1 is too large"},
        BadRun{"FramesHex", "--frames 0x10 {dir}/x.avi", 2, "--frames needs"},
        BadRun{"FramesExponent", "--frames 1e3 {dir}/x.avi", 2, "--frames needs"},
        BadRun{"FramesOverflowing", "--frames 2147483648 {dir}/x.avi", 2, "--frames needs"},
        // Settings no codec can take are refused by the dialog, which names
        // the range; the layer's reason for a failure follows avirec's message.
        BadRun{"KeyFramesOutOfRange", "--codec h264,keyframes=4294967295 --frames 2 {dir}/x.avi", 1,
               "cannot create the movie {dir}/x.avi: the compressor choice "
               "VFW_COMPRESSOR=h264,keyframes=4294967295 was refused: keyframes must be a whole "
               "number of frames from 0 (the compressor's own choice) to 2147483647"},
        BadRun{"DataRateOutOfRange", "--codec h264,datarate=4294967295 --frames 2 {dir}/x.avi", 1,
               "datarate must be a whole number of bytes per second from 125 to 268435455"},
        BadRun{"DataRateTooLow", "--codec mjpeg,datarate=124 --frames 2 {dir}/x.avi", 1,
               "datarate must be a whole number of bytes per second from 125 to 268435455"},
        BadRun{"RateTheCodecCannotStore", "--codec mpeg4 --fps 70000 --frames 2 {dir}/x.avi", 1,
               "avirec: frame 0 could not be written: MPEG-4 Part 2 cannot store a rate above "
               "65535 frames per second"}),
    [](const ::testing::TestParamInfo<BadRun>& testInfo) { return testInfo.param.label; });

}  // namespace
