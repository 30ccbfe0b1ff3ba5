// Recording over an existing, longer file: the file is overwritten in place,
// and what is left of the old recording never shows through, neither in a
// finished file nor in one whose writer died part-way.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ConstBuffer;
// The file sink's way of writing for the test in progress (set by the
// fixture; children forked by the test inherit it).
avifile::FileSinkOptions gSinkOptions;
std::unique_ptr<avifile::ByteSink> createAviFileSink(const char* path) {
    return avifile::createAviFileSink(path, gSinkOptions);
}

constexpr int kWidth = 33;
constexpr int kHeight = 9;

uint64_t sizeOnDisk(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : UINT64_MAX;
}

// Writes `frames` frames numbered from `first`; finishes the file unless
// told not to, in which case the process ends at once, as if killed, without
// running any destructor.
void record(const std::string& path, int first, int frames, bool finish) {
    auto writer = fixtures::videoWriter(createAviFileSink(path.c_str()), kWidth, kHeight);
    ASSERT_NE(writer, nullptr);
    for (int i = 0; i < frames; ++i) {
        const auto frame = fixtures::dibFrame(kWidth, kHeight, first + i);
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    if (finish) {
        ASSERT_EQ(writer->finish(), AVIERR_OK);
    } else {
        _exit(0);
    }
}

void recordAndDieInChild(const std::string& path, int first, int frames) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        record(path, first, frames, false);
        _exit(1);  // only reached when a write failed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void expectFramesDecode(const std::string& path, int first, int frames) {
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_EQ(video.frames.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(video.frames[static_cast<size_t>(i)],
                  fixtures::expectedRgb(kWidth, kHeight,
                                        fixtures::dibFrame(kWidth, kHeight, first + i)))
            << "frame " << i;
    }
}

// Each test runs on every path of the file sink.
class OnEachPath : public testing::TestWithParam<fixtures::SinkPath> {
protected:
    void SetUp() override { gSinkOptions = GetParam().options; }
};
using OverwriteInPlace = OnEachPath;
INSTANTIATE_TEST_SUITE_P(Paths, OverwriteInPlace, fixtures::sinkPaths(), fixtures::sinkPathName);

TEST_P(OverwriteInPlace, FinishedShorterRecordingIsCutToItsOwnLength) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    record(path, 100, 60, true);
    const uint64_t oldSize = sizeOnDisk(path);

    record(path, 0, 7, true);
    EXPECT_LT(sizeOnDisk(path), oldSize);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.samples.size(), 7u);
    expectFramesDecode(path, 0, 7);
}

TEST_P(OverwriteInPlace, LongerRecordingReplacesTheOldOneWhole) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    record(path, 100, 5, true);
    record(path, 0, 30, true);
    expectFramesDecode(path, 0, 30);
}

TEST_P(OverwriteInPlace, UnfinishedRecordingShowsNoOldFrames) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    record(path, 100, 60, true);
    recordAndDieInChild(path, 0, 12);
    // The old recording's bytes are still on disk past the new ones, hidden
    // in a chunk that readers skip.
    const riffcheck::File file = riffcheck::parseFile(path, riffcheck::Options{true, false});
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    expectFramesDecode(path, 0, 12);
}

// Until the first frame is written the earlier recording stays whole: a
// writer that dies before then has destroyed nothing.
TEST_P(OverwriteInPlace, RecordingThatDiedBeforeItsFirstFrameLeavesTheOldOneWhole) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    record(path, 100, 20, true);
    const auto before = riffcheck::readWholeFile(path);
    recordAndDieInChild(path, 0, 0);
    EXPECT_EQ(riffcheck::readWholeFile(path), before);
    expectFramesDecode(path, 100, 20);
}

// A writer killed at random moments while it overwrites a longer recording
// of larger frames, so that a kill often lands inside a write: every frame
// a reader finds is a new one, whole, and there are at least as many as were
// reported written; the old recording never shows through a cut write.
TEST_P(OverwriteInPlace, KilledAtRandomMomentsShowsOnlyWholeNewFrames) {
    constexpr int kBigWidth = 320;
    constexpr int kBigHeight = 240;
    constexpr int kFrames = 48;
    constexpr int kTrials = 40;
    TempDir dir;
    const std::string original = dir.file("original.avi");
    {
        auto writer = fixtures::videoWriter(createAviFileSink(original.c_str()), kBigWidth,
                                            kBigHeight);
        for (int i = 0; i < kFrames + 8; ++i) {
            const auto frame = fixtures::dibFrame(kBigWidth, kBigHeight, 1000 + i);
            ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
        }
        ASSERT_EQ(writer->finish(), AVIERR_OK);
    }
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back(fixtures::dibFrame(kBigWidth, kBigHeight, i));
    }
    std::mt19937 random(20261208);
    const std::string path = dir.file("movie.avi");
    for (int trial = 0; trial < kTrials; ++trial) {
        std::filesystem::copy_file(original, path,
                                   std::filesystem::copy_options::overwrite_existing);
        int reports[2];
        ASSERT_EQ(pipe(reports), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(reports[0]);
            auto writer = fixtures::videoWriter(createAviFileSink(path.c_str()), kBigWidth,
                                                kBigHeight);
            for (const auto& frame : frames) {
                if (writer->writeSample(0, frame.data(), frame.size(), true) != AVIERR_OK ||
                    write(reports[1], "+", 1) != 1) {
                    _exit(1);
                }
            }
            _exit(0);  // as if killed after the last frame
        }
        close(reports[1]);
        const size_t killAfter = std::uniform_int_distribution<size_t>(1, kFrames - 8)(random);
        const auto delay = std::chrono::microseconds(
            std::uniform_int_distribution<int>(0, 400)(random));
        size_t reported = 0;
        char mark = 0;
        while (read(reports[0], &mark, 1) == 1) {
            if (++reported == killAfter) {
                std::this_thread::sleep_for(delay);
                kill(child, SIGKILL);
            }
        }
        close(reports[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "a write failed";

        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(path, video)) << "trial " << trial;
        ASSERT_GE(video.frames.size(), reported) << "trial " << trial;
        for (size_t i = 0; i < video.frames.size(); ++i) {
            ASSERT_LT(i, frames.size()) << "trial " << trial << ": an old frame shows";
            ASSERT_EQ(video.frames[i], fixtures::expectedRgb(kBigWidth, kBigHeight, frames[i]))
                << "trial " << trial << ", frame " << i << " of " << video.frames.size()
                << " (" << reported << " reported)";
        }
    }
}

// The sink itself: the marker stands right after the new end until the sink
// is told to cut the rest away; a stale run too short for a chunk header is
// zeroed.
TEST_P(OverwriteInPlace, MarkerFollowsTheEndAndShortRunsAreZeroed) {
    TempDir dir;
    const std::string path = dir.file("old.bin");
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(1000, 'x');
    }
    auto sink = createAviFileSink(path.c_str());
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->size(), 0u);

    const std::vector<uint8_t> data(600, 7);
    const ConstBuffer part{data.data(), data.size()};
    ASSERT_TRUE(sink->append({&part, 1}));
    auto bytes = riffcheck::readWholeFile(path);
    ASSERT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 600), data);
    EXPECT_EQ(std::string(bytes.begin() + 600, bytes.begin() + 604), "JUNK");
    const uint32_t junkSize = bytes[604] | (bytes[605] << 8) | (bytes[606] << 16) |
                              (static_cast<uint32_t>(bytes[607]) << 24);
    EXPECT_EQ(junkSize, 1000u - 600u - 8u);

    const std::vector<uint8_t> more(395, 9);  // leaves 5 stale bytes
    const ConstBuffer morePart{more.data(), more.size()};
    ASSERT_TRUE(sink->append({&morePart, 1}));
    bytes = riffcheck::readWholeFile(path);
    ASSERT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 995, bytes.end()), std::vector<uint8_t>(5, 0));

    ASSERT_TRUE(sink->discardStaleBytes());
    EXPECT_EQ(sizeOnDisk(path), 995u);
}

}  // namespace
