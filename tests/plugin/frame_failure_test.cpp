// Frames that are not written: no movie open, bad arguments, a codec that
// refuses the format, a failing write.
#include <signal.h>
#include <sys/resource.h>

#include <memory>

#include "avifile_test_hooks.h"
#include "plugin_harness.h"
#include "support/riff_reader.h"

namespace {

const char kCompressorMessage[] =
    "Unable to use specified compressor.  Use either Video 1, Cinepak Codec, or Full Frames.";

using FrameFailure = PluginTest;

TEST_F(FrameFailure, AddFrameWithoutAnOpenMovieReturnsZero) {
    HostFrame frame(4, 4, 1);
    MovieRecord stray{};
    stray.width = 4;
    stray.height = 4;
    EXPECT_EQ(plugin().addFrame(&stray, 4, 4, &frame.stack), 0) << "before any creation";
    EXPECT_EQ(stray.frameCount, 0);

    const std::string path = dir_.file("closed.avi");
    MovieRecord* movie = plugin().create(path.c_str(), 4, 4);
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(plugin().addFrame(movie, 4, 4, &frame.stack), 1);
    plugin().close(movie);
    // After close the record is gone; a host reusing a copy of it gets 0.
    stray.frameCount = 1;
    EXPECT_EQ(plugin().addFrame(&stray, 4, 4, &frame.stack), 0) << "after close";
    EXPECT_EQ(stray.frameCount, 1);
    // Nothing of the frame is read: an unreadable band stack does no harm.
    const auto* unreadable = reinterpret_cast<const BandStack*>(uintptr_t{64});
    EXPECT_EQ(plugin().addFrame(&stray, 4, 4, unreadable), 0);
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(decodesTo(path, {&frame}));
}

// Only the open movie's record is used: a copy of it, or the record after
// its close, is ignored by add-frame and by close, so that a host's stray
// record neither ends the open movie nor reaches freed memory.
TEST_F(FrameFailure, RecordsOtherThanTheOpenOneAreIgnored) {
    const std::string path = dir_.file("own.avi");
    HostFrame first(4, 3, 1);
    HostFrame second(4, 3, 2);
    MovieRecord* movie = plugin().create(path.c_str(), 4, 3);
    ASSERT_NE(movie, nullptr);
    MovieRecord copy = *movie;
    EXPECT_EQ(plugin().addFrame(&copy, 4, 3, &first.stack), 0);
    plugin().close(&copy);
    EXPECT_EQ(plugin().addFrame(movie, 4, 3, &first.stack), 1) << "the open movie goes on";
    EXPECT_EQ(plugin().addFrame(movie, 4, 3, &second.stack), 1);
    plugin().close(movie);
    plugin().close(movie);  // twice: ignored, the record is not read again
    EXPECT_TRUE(decodesTo(path, {&first, &second}));
}

TEST_F(FrameFailure, BadArgumentsReturnZeroAndWriteNothing) {
    const std::string path = dir_.file("bad.avi");
    HostFrame good(6, 5, 1);
    HostFrame wider(7, 5, 2);
    HostFrame taller(6, 6, 3);
    MovieRecord* movie = plugin().create(path.c_str(), 6, 5);
    ASSERT_NE(movie, nullptr);

    EXPECT_EQ(plugin().addFrame(nullptr, 6, 5, &good.stack), 0) << "null record";
    EXPECT_EQ(plugin().addFrame(movie, 6, 5, nullptr), 0) << "null band stack";
    EXPECT_EQ(plugin().addFrame(movie, 7, 5, &wider.stack), 0) << "wider than the movie";
    EXPECT_EQ(plugin().addFrame(movie, 6, 6, &taller.stack), 0) << "taller than the movie";
    EXPECT_EQ(plugin().addFrame(movie, 5, 5, &good.stack), 0) << "narrower than the movie";
    EXPECT_EQ(plugin().addFrame(movie, 0, 0, &good.stack), 0) << "no size";

    BandStack noBands{};
    EXPECT_EQ(plugin().addFrame(movie, 6, 5, &noBands), 0) << "null band list";
    for (int band = 0; band < 3; ++band) {
        HostFrame broken(6, 5, 4);
        broken.bandList[band] = nullptr;
        EXPECT_EQ(plugin().addFrame(movie, 6, 5, &broken.stack), 0) << "null band " << band;
        HostFrame empty(6, 5, 5);
        empty.blocks[band].data = nullptr;
        EXPECT_EQ(plugin().addFrame(movie, 6, 5, &empty.stack), 0) << "null samples " << band;
    }
    EXPECT_EQ(movie->frameCount, 0);
    EXPECT_EQ(movie->width, 6);
    EXPECT_EQ(movie->height, 5);

    // The movie is still usable and holds only the good frame, at position 0.
    EXPECT_EQ(plugin().addFrame(movie, 6, 5, &good.stack), 1);
    EXPECT_EQ(movie->frameCount, 1);
    plugin().close(movie);
    EXPECT_TRUE(decodesTo(path, {&good}));
    EXPECT_TRUE(messages().empty());
}

TEST_F(FrameFailure, RefusedFormatShowsTheMessageOncePerFrameAndWritesNothing) {
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    const std::string path = dir_.file("refused.avi");
    HostFrame frame(8, 8, 1);
    MovieRecord* movie = plugin().create(path.c_str(), 8, 8);
    ASSERT_NE(movie, nullptr);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(plugin().addFrame(movie, 8, 8, &frame.stack), 0);
        EXPECT_EQ(movie->frameCount, 0);
        ASSERT_EQ(messages().size(), static_cast<size_t>(i));
        EXPECT_EQ(messages().back(), kCompressorMessage);
    }
    plugin().close(movie);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_TRUE(file.streams[0].samples.empty());
}

TEST_F(FrameFailure, FormatIsTriedAgainUntilAcceptedAndThenSetOnce) {
    const std::string path = dir_.file("late.avi");
    HostFrame a(4, 3, 1);
    HostFrame b(4, 3, 2);
    HostFrame c(4, 3, 3);
    MovieRecord* movie = plugin().create(path.c_str(), 4, 3);
    ASSERT_NE(movie, nullptr);
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    EXPECT_EQ(plugin().addFrame(movie, 4, 3, &a.stack), 0);
    avifile::setFormatRefusal(AVIERR_OK);
    EXPECT_EQ(plugin().addFrame(movie, 4, 3, &b.stack), 1) << "accepted on the next frame";
    // Once accepted, the format is not set again: a refusal now goes unseen.
    avifile::setFormatRefusal(AVIERR_BADFORMAT);
    EXPECT_EQ(plugin().addFrame(movie, 4, 3, &c.stack), 1);
    EXPECT_EQ(movie->frameCount, 2);
    EXPECT_EQ(messages().size(), 1u);
    plugin().close(movie);
    avifile::setFormatRefusal(AVIERR_OK);
    EXPECT_TRUE(decodesTo(path, {&b, &c}));
}

// Lowers the file-size limit for the test's lifetime; writes beyond it fail
// with EFBIG instead of a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

TEST_F(FrameFailure, FailedWriteReturnsZeroAndStillUsesItsPosition) {
    const std::string path = dir_.file("full.avi");
    // Each frame is 64 x 64 x 3 = 12 KiB; the limit lets a few through.
    std::vector<std::unique_ptr<HostFrame>> frames;
    for (int i = 0; i < 10; ++i) {
        frames.push_back(std::make_unique<HostFrame>(64, 64, static_cast<uint32_t>(i + 1)));
    }
    std::vector<int32_t> results;
    MovieRecord* movie = plugin().create(path.c_str(), 64, 64);
    ASSERT_NE(movie, nullptr);
    {
        const FileSizeLimit limit(64 * 1024);
        for (size_t i = 0; i < 8; ++i) {
            results.push_back(plugin().addFrame(movie, 64, 64, &frames[i]->stack));
        }
    }
    // With room again, the next frames go to the positions after the failed ones.
    for (size_t i = 8; i < 10; ++i) {
        results.push_back(plugin().addFrame(movie, 64, 64, &frames[i]->stack));
    }
    EXPECT_EQ(movie->frameCount, 10) << "every frame reached the write and used a position";
    plugin().close(movie);
    EXPECT_TRUE(messages().empty()) << "a failed write shows no message";

    ASSERT_EQ(results.size(), 10u);
    EXPECT_EQ(results.front(), 1);
    EXPECT_EQ(results[7], 0) << "the limit stops the later writes";
    EXPECT_EQ(results[8], 1);
    EXPECT_EQ(results[9], 1);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    const std::vector<riffcheck::Sample>& samples = file.streams[0].samples;
    ASSERT_EQ(samples.size(), 10u) << "failed positions stay in the stream's timing";
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].size, results[i] == 1 ? 64u * 64u * 3u : 0u) << "sample " << i;
    }
}

}  // namespace
