// A recording process killed at any moment, and one that runs into its
// file-size limit: ffmpeg still decodes every sample whose write had been
// reported successful.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ContainerSettings;
using avifile::createFileSink;

constexpr int kWidth = 31;
constexpr int kHeight = 17;
constexpr int kRate = 15;

// In a child process: writes frames 0, 1, 2 ... and reports each one that
// the writer took on `reports`; never finishes the file. After `frames`
// frames it waits to be killed. With `finishAtEnd` it finishes instead and
// exits.
[[noreturn]] void recordInChild(const std::string& path, const ContainerSettings& settings,
                                int frames, int reports, bool finishAtEnd) {
    auto writer = fixtures::videoWriter(createFileSink(path.c_str()), kWidth, kHeight, settings);
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
// many reports it is killed (0: never; it then finishes the file) and the
// file-size limit it runs under (0: none).
struct ChildPlan {
    int frames = 0;
    size_t killAfter = 0;
    rlim_t fileSizeLimit = 0;
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
        recordInChild(path, settings, plan.frames, pipeEnds[1], plan.killAfter == 0);
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

TEST(WriterCrash, KilledRecordingKeepsEveryReportedSample) {
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
        // The duration on disk lags the recording by at most the refresh
        // interval (one second of media), and never runs ahead of it.
        const auto stream = probeVideoStream(path);
        const double duration = std::stod(stream.at("duration"));
        const double recorded = static_cast<double>(file.samples.size()) / kRate;
        EXPECT_LE(duration, recorded + 1e-6) << killAfter;
        EXPECT_GE(duration, recorded - settings.refreshEverySeconds - 1.0 / kRate) << killAfter;
    }
}

TEST(WriterFileSizeLimit, FramesReportedWrittenAreReadable) {
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
