// A recording process killed at any moment, and one that runs into its
// file-size limit: ffmpeg still decodes every sample whose write had been
// reported successful. A killed recording is then repaired: every reported
// sample stays, indexed, and repairing again changes nothing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "avifile_hooks.h"
#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ContainerSettings;
// The file sink's way of writing for the test in progress (set by the
// fixture; children forked by the test inherit it).
avifile::FileSinkOptions gSinkOptions;
std::unique_ptr<avifile::ByteSink> createFileSink(const char* path) {
    return avifile::createFileSink(path, nullptr, gSinkOptions);
}

constexpr int kWidth = 31;
constexpr int kHeight = 17;
constexpr int kRate = 15;

// In a child process: writes frames 0, 1, 2 ... and reports each one that
// the writer took on `reports`; never finishes the file. After `frames`
// frames it waits to be killed. With `finishAtEnd` it finishes instead and
// exits.
[[noreturn]] void recordInChild(const std::string& path, const ContainerSettings& settings,
                                int frames, int reports, bool finishAtEnd, bool inPlace) {
    auto writer = fixtures::videoWriter(
        inPlace ? avifile::createAviFileSink(path.c_str(), gSinkOptions)
                : createFileSink(path.c_str()),
        kWidth, kHeight, settings);
    for (int i = 0; i < frames; ++i) {
        const auto frame = fixtures::dibFrame(kWidth, kHeight, i);
        if (writer->writeSample(0, frame.data(), frame.size(), true) == AVIERR_OK) {
            const int32_t number = i;
            if (write(reports, &number, sizeof number) != sizeof number) {
                _exit(20);
            }
        }
    }
    if (finishAtEnd) {
        _exit(writer->finish() == AVIERR_OK ? 0 : 1);
    }
    for (;;) {
        pause();
    }
}

// Reads reports until `enough` have come (then kills the child at once,
// wherever it is) or the pipe ends; returns the frame numbers reported.
std::vector<int> collectReports(pid_t child, int reports, size_t enough, bool kill) {
    std::vector<int> reported;
    bool killed = false;
    int32_t number = 0;
    while (read(reports, &number, sizeof number) == sizeof number) {
        reported.push_back(number);
        if (kill && !killed && reported.size() >= enough) {
            ::kill(child, SIGKILL);
            killed = true;
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    return reported;
}

// How a test runs its recording child: how many frames it writes, after how
// many reports it is killed (0: never; it then finishes the file), the
// file-size limit it runs under (0: none), and whether it overwrites an
// existing file in place rather than truncating it.
struct ChildPlan {
    int frames = 0;
    size_t killAfter = 0;
    rlim_t fileSizeLimit = 0;
    bool inPlace = false;
};

// Forks a child that records into `path` as `plan` says and collects the
// frame numbers it reported written into `reported`.
void runRecordingChild(const std::string& path, const ContainerSettings& settings,
                       const ChildPlan& plan, std::vector<int>& reported) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeEnds[0]);
        if (plan.fileSizeLimit != 0) {
            const rlimit fileSize{plan.fileSizeLimit, plan.fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
                _exit(30);
            }
        }
        recordInChild(path, settings, plan.frames, pipeEnds[1], plan.killAfter == 0,
                      plan.inPlace);
    }
    close(pipeEnds[1]);
    reported = collectReports(child, pipeEnds[0], plan.killAfter, plan.killAfter != 0);
    close(pipeEnds[0]);
}

// The first `reported.size()` decoded frames are the reported ones; at most
// one more (the frame being written when the process stopped) may follow.
void expectReportedFramesDecode(const std::string& path, const std::vector<int>& reported) {
    DecodedVideo video;
    ASSERT_TRUE(decodeVideo(path, video));
    ASSERT_GE(video.frames.size(), reported.size());
    ASSERT_LE(video.frames.size(), reported.size() + 1);
    for (size_t i = 0; i < reported.size(); ++i) {
        ASSERT_EQ(video.frames[i],
                  fixtures::expectedRgb(kWidth, kHeight,
                                        fixtures::dibFrame(kWidth, kHeight, reported[i])))
            << "frame " << i;
    }
}

// Each test runs on every path of the file sink.
class OnEachPath : public testing::TestWithParam<fixtures::SinkPath> {
protected:
    void SetUp() override { gSinkOptions = GetParam().options; }
};
using WriterCrash = OnEachPath;
INSTANTIATE_TEST_SUITE_P(Paths, WriterCrash, fixtures::sinkPaths(), fixtures::sinkPathName);
using WriterRepair = OnEachPath;
INSTANTIATE_TEST_SUITE_P(Paths, WriterRepair, fixtures::sinkPaths(), fixtures::sinkPathName);
using WriterFileSizeLimit = OnEachPath;
INSTANTIATE_TEST_SUITE_P(Paths, WriterFileSizeLimit, fixtures::sinkPaths(), fixtures::sinkPathName);

TEST_P(WriterCrash, KilledRecordingKeepsEveryReportedSample) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;  // 1.6 KiB frames: a new RIFF every ~60
    // Kill points inside the first RIFF, a few RIFFs in, and far in.
    for (const size_t killAfter : {size_t{20}, size_t{150}, size_t{700}}) {
        TempDir dir;
        const std::string path = dir.file("killed.avi");
        std::vector<int> reported;
        ASSERT_NO_FATAL_FAILURE(runRecordingChild(path, settings, {1500, killAfter, 0}, reported));
        ASSERT_GE(reported.size(), killAfter);
        for (size_t i = 0; i < reported.size(); ++i) {
            ASSERT_EQ(reported[i], static_cast<int>(i));  // no write failed
        }

        riffcheck::Options options;
        options.allowOpenEnded = true;
        const riffcheck::File file = riffcheck::parseFile(path, options);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        ASSERT_GE(file.samples.size(), reported.size());

        expectReportedFramesDecode(path, reported);
        // The headers count every sample reported written (and at most the
        // one whose write the kill cut short besides), so readers that trust
        // them see the whole length.
        const uint32_t length = file.streams[0].header.length;
        for (const uint32_t count : {length, file.extensionTotalFrames}) {
            EXPECT_GE(count, reported.size()) << killAfter;
            EXPECT_LE(count, file.samples.size()) << killAfter;
        }
        const auto stream = probeVideoStream(path);
        EXPECT_NEAR(std::stod(stream.at("duration")), static_cast<double>(length) / kRate, 1e-3)
            << killAfter;
    }
}

// A finished file must be what repair leaves: strictly valid, with every
// sample indexed, all reported frames decoding, and a second repair finding
// nothing to do.
void expectRepairedWhole(const std::string& path, const std::vector<int>& reported) {
    const avifile::RepairReport report = avifile::repairRecording(path.c_str());
    ASSERT_EQ(report.outcome, avifile::RepairOutcome::Repaired) << report.message;
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(static_cast<int64_t>(file.samples.size()), report.samples);
    EXPECT_EQ(file.streams[0].header.length, file.samples.size());
    EXPECT_EQ(file.extensionTotalFrames, file.samples.size());
    ASSERT_NO_FATAL_FAILURE(expectReportedFramesDecode(path, reported));

    const auto repaired = riffcheck::readWholeFile(path);
    const avifile::RepairReport again = avifile::repairRecording(path.c_str());
    EXPECT_EQ(again.outcome, avifile::RepairOutcome::AlreadyComplete) << again.message;
    EXPECT_EQ(riffcheck::readWholeFile(path), repaired);
}

// Kills at random points in the first RIFF and in the third, into a new file
// and over a longer earlier one (whose bytes beyond the new end are cut).
TEST_P(WriterRepair, FinishesKilledRecordings) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;  // about 60 frames a RIFF
    std::mt19937 random(8);
    for (const bool inPlace : {false, true}) {
        for (const auto& [low, high] : {std::pair{3, 55}, std::pair{125, 175}}) {
            TempDir dir;
            const std::string path = dir.file("killed.avi");
            if (inPlace) {
                std::vector<int> all;
                ASSERT_NO_FATAL_FAILURE(runRecordingChild(path, settings, {400, 0, 0}, all));
            }
            const auto killAfter = static_cast<size_t>(
                std::uniform_int_distribution<int>(low, high)(random));
            std::vector<int> reported;
            ASSERT_NO_FATAL_FAILURE(
                runRecordingChild(path, settings, {300, killAfter, 0, inPlace}, reported));
            SCOPED_TRACE(testing::Message() << "killed after " << reported.size()
                                            << (inPlace ? " over a longer file" : ""));
            ASSERT_NO_FATAL_FAILURE(expectRepairedWhole(path, reported));
        }
    }
}

// Repair killed at random moments of its own run: the file is readable at
// each of them, and a repair afterwards completes it.
TEST_P(WriterRepair, KilledRepairLeavesAReadableFileAndCanBeRunAgain) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;
    TempDir dir;
    const std::string killed = dir.file("killed.avi");
    std::vector<int> reported;
    ASSERT_NO_FATAL_FAILURE(runRecordingChild(killed, settings, {300, 140, 0}, reported));
    const std::string path = dir.file("repairing.avi");
    std::mt19937 random(9);
    for (int trial = 0; trial < 12; ++trial) {
        std::filesystem::copy_file(killed, path, std::filesystem::copy_options::overwrite_existing);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            avifile::repairRecording(path.c_str());
            _exit(0);
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        ASSERT_NO_FATAL_FAILURE(expectReportedFramesDecode(path, reported));
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        ASSERT_NE(report.outcome, avifile::RepairOutcome::Refused) << report.message;
        ASSERT_NE(report.outcome, avifile::RepairOutcome::Failed) << report.message;
        const riffcheck::File file = riffcheck::parseFile(path);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        ASSERT_NO_FATAL_FAILURE(expectReportedFramesDecode(path, reported));
    }
}

// Files that need no repair (ours and another writer's), and files that
// are no AVI files, are left byte for byte as they were.
TEST_P(WriterRepair, LeavesCompleteAndForeignFilesAlone) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;
    TempDir dir;
    std::vector<std::string> complete;
    for (const int frames : {0, 5, 200}) {
        const std::string path = dir.file("complete" + std::to_string(frames) + ".avi");
        std::vector<int> reported;
        ASSERT_NO_FATAL_FAILURE(runRecordingChild(path, settings, {frames, 0, 0}, reported));
        complete.push_back(path);
    }
    const auto whole = riffcheck::readWholeFile(complete[1]);
    const std::string truncatedHeader = dir.file("truncated.avi");
    std::ofstream(truncatedHeader, std::ios::binary)
        .write(reinterpret_cast<const char*>(whole.data()), 100);
    const std::string text = dir.file("notes.avi");
    std::ofstream(text) << "RIFF but not really an AVI file at all, just some words\n";
    const std::string other = dir.file("other.avi");
    ASSERT_EQ(std::system((std::string(FFMPEG_EXECUTABLE) +
                           " -v error -f lavfi -i testsrc=size=32x24:rate=5 -frames:v 5 "
                           "-c:v rawvideo -pix_fmt bgr24 -y " + other).c_str()),
              0);
    complete.push_back(other);
    const std::string pipe = dir.file("pipe.avi");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);

    for (const std::string& path : complete) {
        const auto before = riffcheck::readWholeFile(path);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        EXPECT_EQ(report.outcome, avifile::RepairOutcome::AlreadyComplete) << path;
        EXPECT_EQ(riffcheck::readWholeFile(path), before) << path;
    }
    for (const std::string& path : {truncatedHeader, text, pipe, dir.file("missing.avi")}) {
        // (A pipe is not read here: nothing writes to it.)
        const auto before = path == pipe ? std::vector<uint8_t>() : riffcheck::readWholeFile(path);
        const avifile::RepairReport report = avifile::repairRecording(path.c_str());
        EXPECT_EQ(report.outcome, avifile::RepairOutcome::Refused) << path;
        EXPECT_FALSE(report.message.empty()) << path;
        if (path != pipe) {
            EXPECT_EQ(riffcheck::readWholeFile(path), before) << path;
        }
    }
}

TEST_P(WriterFileSizeLimit, FramesReportedWrittenAreReadable) {
    ContainerSettings settings;
    settings.riffLimit = 100 << 10;
    // Limits inside the first RIFF and a few RIFFs in; the second falls
    // while an index may be due.
    for (const rlim_t limit : {rlim_t{60000}, rlim_t{333333}}) {
        TempDir dir;
        const std::string path = dir.file("limited.avi");
        std::vector<int> reported;
        ASSERT_NO_FATAL_FAILURE(runRecordingChild(path, settings, {400, 0, limit}, reported));
        ASSERT_GT(reported.size(), 10u);
        ASSERT_LT(reported.size(), 400u);  // the limit was reached

        riffcheck::Options options;
        options.requireIndex = false;  // the last indexes may not have fitted
        const riffcheck::File file = riffcheck::parseFile(path, options);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        ASSERT_EQ(file.samples.size(), reported.size());
        EXPECT_EQ(file.streams[0].header.length, reported.size());

        DecodedVideo video;
        ASSERT_TRUE(decodeVideo(path, video));
        ASSERT_EQ(video.frames.size(), reported.size());
        for (size_t i = 0; i < reported.size(); ++i) {
            ASSERT_EQ(video.frames[i],
                      fixtures::expectedRgb(kWidth, kHeight,
                                            fixtures::dibFrame(kWidth, kHeight, reported[i])))
                << "frame " << i;
        }
        const auto stream = probeVideoStream(path);
        EXPECT_NEAR(std::stod(stream.at("duration")),
                    static_cast<double>(reported.size()) / kRate, 1e-3);
    }
}

}  // namespace
