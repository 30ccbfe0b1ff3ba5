// avirec given files that it must not harm: names that stand for one file
// twice, closed standard descriptors, runaway name patterns, -n, progress
// that cannot be written, images that are damaged, and a movie that cannot
// be finished.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/ffmpeg_tools.h"
#include "support/temp_dir.h"
#include "avirec_shell.h"

namespace {

// A binary PPM of pixels from `seed`; returns them as rgb24.
std::vector<uint8_t> writePpm(const std::string& path, int width, int height, int seed) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 29 + static_cast<size_t>(seed) * 83 + i / 5);
    }
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    writeFile(path, bytes);
    return pixels;
}

class AvirecFiles : public ::testing::Test {
protected:
    TempDir dir_;
    std::string d(const std::string& text) const {
        std::string out = text;
        for (size_t at; (at = out.find("{d}")) != std::string::npos;) {
            out.replace(at, 3, dir_.path().string());
        }
        return out;
    }
    bool exists(const std::string& name) const {
        struct stat info {};
        return ::lstat(dir_.file(name).c_str(), &info) == 0 &&
               (!S_ISLNK(info.st_mode) || ::stat(dir_.file(name).c_str(), &info) == 0);
    }
    size_t framesIn(const std::string& name) const {
        DecodedVideo video;
        return decodeVideo(dir_.file(name), video) ? video.frames.size() : 0;
    }
};

struct Clash {
    const char* label;
    const char* command;   // {d} is the folder
    const char* survivor;  // the file that must stay as it was, or must not come to be
};

void PrintTo(const Clash& clash, std::ostream* out) { *out << clash.label; }

class AvirecClash : public AvirecFiles, public ::testing::WithParamInterface<Clash> {};

// Every file avirec writes is told apart from every file it reads and from
// the others it writes, by the file itself: whichever name, link or
// descriptor stands for it, and also before it exists.
TEST_P(AvirecClash, IsRefusedAndTheFileStaysAsItWas) {
    writePpm(dir_.file("in.ppm"), 6, 4, 1);
    writePpm(dir_.file("in2.ppm"), 6, 4, 2);
    writeFile(dir_.file("old.avi"), std::vector<uint8_t>(4000, 0x5A));
    ASSERT_EQ(::symlink("in.ppm", dir_.file("link_in").c_str()), 0);
    ASSERT_EQ(::link(dir_.file("in.ppm").c_str(), dir_.file("hard_in").c_str()), 0);
    ASSERT_EQ(::symlink("new.avi", dir_.file("link_new").c_str()), 0);
    const std::string survivor = GetParam().survivor;
    const bool existed = exists(survivor);
    const std::string before = existed ? readFile(dir_.file(survivor)) : "";

    const ShellRun run = shell(d(GetParam().command));
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("is the same file as"), std::string::npos) << run.output;
    ASSERT_EQ(exists(survivor), existed) << survivor;
    if (existed) {
        EXPECT_TRUE(readFile(dir_.file(survivor)) == before) << survivor << " was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    NamedTwice, AvirecClash,
    ::testing::Values(
        Clash{"ProgressIsTheMovie", "{avirec} -y --codec full {d}/old.avi {d}/in.ppm --progress {d}/old.avi", "old.avi"},
        Clash{"RawOutIsTheMovie", "{avirec} -y --codec full --raw-out {d}/old.avi {d}/old.avi {d}/in.ppm", "old.avi"},
        Clash{"ProgressIsAnInput", "{avirec} {d}/o.avi {d}/in.ppm --progress {d}/in.ppm", "in.ppm"},
        Clash{"RawOutIsAnInputThroughALink", "{avirec} -y --raw-out {d}/link_in {d}/o.avi {d}/in2.ppm {d}/in.ppm", "in.ppm"},
        Clash{"MovieIsAnInputsHardLink", "{avirec} -y {d}/hard_in {d}/in.ppm", "in.ppm"},
        Clash{"MovieIsTheRawInput", "{avirec} -y --raw rgb24 --size 4x4 {d}/old.avi {d}/old.avi", "old.avi"},
        Clash{"MovieIsStandardInput", "{avirec} -y {d}/old.avi - < {d}/old.avi", "old.avi"},
        Clash{"ProgressOnStandardOutputIsTheMovie", "{avirec} -y --progress - {d}/old.avi >> {d}/old.avi", "old.avi"},
        Clash{"ProgressAndRawOutAreOneNewFile", "{avirec} --frames 2 --progress {d}/new.txt --raw-out {d}/./new.txt {d}/o.avi", "new.txt"},
        Clash{"ProgressThroughADanglingLinkIsTheNewMovie", "{avirec} --frames 2 --progress {d}/link_new {d}/new.avi", "new.avi"}),
    [](const ::testing::TestParamInfo<Clash>& testInfo) { return testInfo.param.label; });

// Started without descriptor 0, 1 or 2, avirec neither waits for ever nor
// lets a file it opens take their place.
TEST_F(AvirecFiles, ClosedStandardDescriptors) {
    for (const char* input : {"--raw rgb24 --size 16x8", ""}) {
        const ShellRun run = shell(d(std::string("{avirec} ") + input + " {d}/in.avi - <&-"));
        EXPECT_EQ(run.status, 1) << input << ": " << run.output;
        EXPECT_NE(run.output.find("standard input is closed"), std::string::npos) << run.output;
    }
    const ShellRun noOutput = shell(d("{avirec} --frames 2 --size 8x8 --progress - {d}/out.avi >&-"));
    EXPECT_EQ(noOutput.status, 1) << noOutput.output;
    EXPECT_NE(noOutput.output.find("standard output is closed"), std::string::npos) << noOutput.output;
    EXPECT_FALSE(exists("out.avi"));

    // What the libraries log while frames are written goes nowhere, not
    // into the movie that took descriptor 2's number.
    ASSERT_EQ(runCommand(std::string(FFMPEG_EXECUTABLE) + " -v error -f lavfi -i testsrc=size=32x24 " +
                         "-frames:v 4 " + shellQuote(dir_.file("f_%d.jpg"))),
              0);
    const ShellRun noErrors = shell(d("{avirec} -v --codec full {d}/err.avi {d}/f_%d.jpg 2>&- <&-"));
    EXPECT_EQ(noErrors.status, 0) << noErrors.output;
    EXPECT_EQ(framesIn("err.avi"), 4u);
}

// A printf-style width of any size names files of its own for each number,
// and a pattern whose names no folder can hold says so.
TEST_F(AvirecFiles, NumberedPatternsAtEveryWidth) {
    for (const int width : {1, 9, 31, 32, 99}) {
        std::string stem = "w";
        stem += std::to_string(width);
        std::vector<std::vector<uint8_t>> images;
        for (int number = 1; number <= 3; ++number) {
            std::string name = stem + "_";
            name.append(static_cast<size_t>(width - 1), '0');
            name += std::to_string(number) + ".ppm";
            images.push_back(writePpm(dir_.file(name), 5, 3, width * 10 + number));
        }
        const std::string movie = stem + ".avi";
        std::string command = "{avirec} --codec full {d}/" + movie + " {d}/" + stem;
        command += "_%0" + std::to_string(width) + "d.ppm";
        const ShellRun run = shell(d(command));
        ASSERT_EQ(run.status, 0) << width << ": " << run.output;
        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(dir_.file(movie), video));
        EXPECT_EQ(video.frames, images) << "width " << width;
    }
    const ShellRun tooLong = shell(d("{avirec} {d}/long.avi {d}/" + std::string(200, 'p') + "%099d.ppm"));
    EXPECT_EQ(tooLong.status, 1) << tooLong.output;
    EXPECT_NE(tooLong.output.find("longer than the 255 characters"), std::string::npos) << tooLong.output;
}

// -n keeps every file that avirec would write; without -y or -n an existing
// one is refused when nobody can be asked.
TEST_F(AvirecFiles, NoOverwriteCoversEveryFileWritten) {
    const std::vector<uint8_t> old(300, 0x33);
    for (const char* option : {"--progress", "--raw-out"}) {
        for (const char* overwrite : {"-n", ""}) {
            writeFile(dir_.file("kept"), old);
            const ShellRun run = shell(d(std::string("{avirec} ") + overwrite +
                                         " --frames 2 --size 8x8 " + option + " {d}/kept {d}/new.avi"));
            EXPECT_EQ(run.status, 1) << option << " " << overwrite << ": " << run.output;
            EXPECT_NE(run.output.find(*overwrite ? "-n says never" : "pass -y"), std::string::npos)
                << run.output;
            EXPECT_EQ(readFile(dir_.file("kept")), std::string(old.begin(), old.end()));
            EXPECT_FALSE(exists("new.avi"));
        }
        const ShellRun run =
            shell(d(std::string("{avirec} -y --frames 2 --size 8x8 ") + option + " {d}/kept {d}/new.avi"));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(readFile(dir_.file("kept")), std::string(old.begin(), old.end()));
        std::filesystem::remove(dir_.file("new.avi"));
    }
}

// Progress that cannot be written is said once and the recording goes on;
// a descriptor that cannot take it is refused before anything is written.
TEST_F(AvirecFiles, ProgressThatCannotBeWritten) {
    const ShellRun full = shell(d("{avirec} --fps 1000 --frames 40 --size 8x8 --progress /dev/full {d}/full.avi"));
    EXPECT_EQ(full.status, 0) << full.output;
    const std::string warning = "writing progress to /dev/full failed: No space left on device";
    const size_t first = full.output.find(warning);
    EXPECT_NE(first, std::string::npos) << full.output;
    EXPECT_EQ(full.output.find(warning, first + 1), std::string::npos) << "said once: " << full.output;
    EXPECT_EQ(framesIn("full.avi"), 40u);

    const ShellRun readOnly = shell(d("{avirec} --frames 2 --size 8x8 --progress fd:9 {d}/ro.avi 9</dev/null"));
    EXPECT_EQ(readOnly.status, 1) << readOnly.output;
    EXPECT_NE(readOnly.output.find("open only for reading"), std::string::npos) << readOnly.output;
    EXPECT_FALSE(exists("ro.avi"));
}

// A movie named by a symbolic link to nothing is refused with that reason;
// the link stays and no target is made.
TEST_F(AvirecFiles, MovieThroughALinkToNothing) {
    ASSERT_EQ(::symlink("gone.avi", dir_.file("link.avi").c_str()), 0);
    const ShellRun run = shell(d("{avirec} -y --frames 2 --size 8x8 {d}/link.avi"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("it is a symbolic link to a file that does not exist"), std::string::npos)
        << run.output;
    EXPECT_FALSE(exists("gone.avi"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link.avi")));
}

struct Damage {
    const char* label;
    const char* file;
    const char* reason;  // what the message must say
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.label; }

// A PNG whose later IDAT chunks are left out: its signature, the chunks
// before and the first half of the image data, then its IEND.
std::vector<uint8_t> withoutLaterImageData(const std::string& png) {
    struct Chunk {
        std::string type;
        size_t at;
        size_t bytes;
    };
    std::vector<Chunk> chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        const auto byte = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(png[at + i])); };
        const size_t length = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
        chunks.push_back({png.substr(at + 4, 4), at, length + 12});
        at += length + 12;
    }
    const auto idats = std::count_if(chunks.begin(), chunks.end(),
                                     [](const Chunk& chunk) { return chunk.type == "IDAT"; });
    EXPECT_GE(idats, 4) << "the image data spans several chunks";
    std::string out = png.substr(0, 8);
    long kept = 0;
    for (const Chunk& chunk : chunks) {
        if (chunk.type != "IDAT" || kept++ < idats / 2) {
            out += png.substr(chunk.at, chunk.bytes);
        }
    }
    return std::vector<uint8_t>(out.begin(), out.end());
}

class AvirecDamagedImage : public AvirecFiles, public ::testing::WithParamInterface<Damage> {};

// A damaged image fails the input with the decoder's reason; the frames
// before it stay in a complete movie.
TEST_P(AvirecDamagedImage, FailsWithItsReasonAndKeepsTheFramesBefore) {
    const std::vector<uint8_t> first = writePpm(dir_.file("a_1.ppm"), 256, 192, 7);
    // Noise, so that the image data spans many IDAT chunks; the second half
    // of them left out, the end chunk kept.
    ASSERT_EQ(runCommand(std::string(FFMPEG_EXECUTABLE) + " -v error -f lavfi -i " +
                         "'nullsrc=s=256x192,geq=random(1)*255:128:128' -frames:v 1 " +
                         "-pix_fmt rgb24 " + shellQuote(dir_.file("whole.png"))),
              0);
    writeFile(dir_.file("half.png"), withoutLaterImageData(readFile(dir_.file("whole.png"))));
    std::string zero = "P6\n256 192\n0\n" + std::string(256 * 192 * 3, '\x11');
    writeFile(dir_.file("maxval0.ppm"), std::vector<uint8_t>(zero.begin(), zero.end()));
    std::string huge = "P6\n100000 100000\n255\n" + std::string(1000, '\x22');
    writeFile(dir_.file("huge.ppm"), std::vector<uint8_t>(huge.begin(), huge.end()));

    const ShellRun run = shell(d(std::string("{avirec} --codec full --no-sort {d}/m.avi {d}/a_1.ppm {d}/") +
                                 GetParam().file));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(GetParam().reason), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("input is empty"), std::string::npos) << run.output;
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(dir_.file("m.avi"), video));
    ASSERT_EQ(video.frames.size(), 1u);
    EXPECT_EQ(video.frames[0], first);
}

INSTANTIATE_TEST_SUITE_P(
    Images, AvirecDamagedImage,
    ::testing::Values(Damage{"PngMissingHalfItsData", "half.png", "half.png is damaged: IEND without all image"},
                      Damage{"PpmOfMaxvalZero", "maxval0.ppm", "maxval0.ppm is damaged: Invalid maxval: 0"},
                      Damage{"PpmLargerThanAnyFrame", "huge.ppm", "huge.ppm is damaged: Picture size 100000x100000 is invalid"}),
    [](const ::testing::TestParamInfo<Damage>& testInfo) { return testInfo.param.label; });

}  // namespace

// A movie whose indexes do not fit (the file-size limit falls between its
// last frame and its end) is not reported as written: avirec exits 1, says
// why and what to run, and --repair then finishes it with every frame.
TEST(AvirecFinish, FailureToFinishIsToldAndRepairFinishesIt) {
    TempDir dir;
    const std::string movie = dir.file("movie.avi");
    const std::string record = "{avirec} -y --frames 40 --size 8x8 " + movie;
    ASSERT_EQ(shell(record).status, 0);
    struct stat whole {};
    ASSERT_EQ(stat(movie.c_str(), &whole), 0);
    // In 512-byte blocks, below the finished size and above the last frame
    // (the two indexes of 40 frames take about 1 KB).
    const auto blocks = (static_cast<uint64_t>(whole.st_size) - 1) / 512;
    const ShellRun cut = shell("ulimit -f " + std::to_string(blocks) + " && " + record);
    EXPECT_EQ(cut.status, 1) << cut.output;
    EXPECT_NE(cut.output.find("the movie could not be finished: the file has reached the largest "
                              "size allowed; run avirec --repair " + movie),
              std::string::npos)
        << cut.output;
    const ShellRun repaired = shell("{avirec} --repair " + movie);
    EXPECT_EQ(repaired.status, 0) << repaired.output;
    EXPECT_NE(repaired.output.find("40 frames"), std::string::npos) << repaired.output;
}
