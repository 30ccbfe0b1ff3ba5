// Creations that fail: each gives null, leaves nothing allocated or held
// (the fixture checks the heap, the library references and the objects) and
// leaves the writer idle, so that the next creation works.
#include <malloc.h>
#include <sys/stat.h>

#include <filesystem>

#include "avifile_test_hooks.h"
#include "plugin_harness.h"
#include "support/riff_reader.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Whether the block handed to the dialog's options has gone back to the
// system: large blocks are mapped, and the mapped total drops when one is
// freed; under AddressSanitizer a freed block is poisoned.
class MappedBlockWatch {
public:
    static constexpr size_t kBytes = size_t{64} << 20;
    MappedBlockWatch() : before_(mallinfo2().hblkhd) {}
    bool freed(void* block) const {
#if defined(__SANITIZE_ADDRESS__)
        (void)before_;
        return __asan_address_is_poisoned(block) != 0;
#else
        (void)block;
        return mallinfo2().hblkhd <= before_;
#endif
    }

private:
    size_t before_;
};

class CreationFailure : public PluginTest {
protected:
    // After a failure, a normal recording must go through.
    void expectWriterIdle() {
        HostFrame frame(3, 3, 11);
        const std::string path = dir_.file("after.avi");
        EXPECT_EQ(record(path, 3, 3, {&frame}), std::vector<int32_t>{1});
        EXPECT_TRUE(decodesTo(path, {&frame}));
    }
};

TEST_F(CreationFailure, CancelledDialogGivesNull) {
    setenv("VFW_COMPRESSOR", "cancel", 1);
    EXPECT_EQ(plugin().create(dir_.file("cancel.avi").c_str(), 16, 16), nullptr);
    setenv("VFW_COMPRESSOR", "full", 1);
    expectWriterIdle();
}

TEST_F(CreationFailure, CancelledDialogThroughTheHookGivesNull) {
    int asked = 0;
    avifile::setSaveOptionsHook([&asked](AVICOMPRESSOPTIONS&) {
        ++asked;
        return false;
    });
    EXPECT_EQ(plugin().create(dir_.file("cancel.avi").c_str(), 16, 16), nullptr);
    EXPECT_EQ(asked, 1);
    avifile::setSaveOptionsHook({});
    expectWriterIdle();
}

TEST_F(CreationFailure, UnknownCompressorInTheDialogGivesNull) {
    setenv("VFW_COMPRESSOR", "no-such-codec", 1);
    EXPECT_EQ(plugin().create(dir_.file("unknown.avi").c_str(), 16, 16), nullptr);
    setenv("VFW_COMPRESSOR", "full", 1);
    expectWriterIdle();
}

TEST_F(CreationFailure, CompressorThatCannotBeMadeGivesNullAndFreesTheOptions) {
    const MappedBlockWatch watch;
    void* block = nullptr;
    avifile::setSaveOptionsHook([&block](AVICOMPRESSOPTIONS& options) {
        options.fccHandler = mmioFOURCC('Z', 'Z', 'Z', 'Z');
        block = avifile::allocateOptionsBlock(MappedBlockWatch::kBytes);
        options.lpParms = block;
        options.cbParms = 64;
        return true;
    });
    EXPECT_EQ(plugin().create(dir_.file("refused.avi").c_str(), 16, 16), nullptr);
    avifile::setSaveOptionsHook({});
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(watch.freed(block)) << "the failed creation frees the dialog's blocks";
    expectWriterIdle();
}

// Every way the dialog can fail leaves the path exactly as it was: an
// earlier movie byte for byte, and no file where there was none.
TEST_F(CreationFailure, FailedCreationLeavesThePathAsItWas) {
    HostFrame frame(6, 4, 5);
    const std::string existing = dir_.file("existing.avi");
    ASSERT_EQ(record(existing, 6, 4, {&frame}), std::vector<int32_t>{1});
    const auto before = riffcheck::readWholeFile(existing);
    for (const char* answer : {"cancel", "no-such-codec", "mjpeg,quality=10001", "ZZZZ"}) {
        if (std::string(answer) == "ZZZZ") {
            // A compressor that the dialog offers but that cannot be made.
            avifile::setSaveOptionsHook([](AVICOMPRESSOPTIONS& options) {
                options.fccHandler = mmioFOURCC('Z', 'Z', 'Z', 'Z');
                return true;
            });
        } else {
            setenv("VFW_COMPRESSOR", answer, 1);
        }
        const std::string fresh = dir_.file("fresh.avi");
        EXPECT_EQ(plugin().create(existing.c_str(), 6, 4), nullptr) << answer;
        EXPECT_EQ(riffcheck::readWholeFile(existing), before) << answer;
        EXPECT_EQ(plugin().create(fresh.c_str(), 6, 4), nullptr) << answer;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << answer;
        avifile::setSaveOptionsHook({});
    }
    setenv("VFW_COMPRESSOR", "full", 1);
    expectWriterIdle();
}

// A pipe as the output is refused at once, also when nothing reads it.
TEST_F(CreationFailure, PipeAsTheOutputGivesNullWithoutWaiting) {
    const std::string fifo = dir_.file("pipe.avi");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(plugin().create(fifo.c_str(), 16, 16), nullptr);
    expectWriterIdle();
}

TEST_F(CreationFailure, FileThatCannotBeOpenedGivesNull) {
    const std::string path = dir_.file("missing-folder/movie.avi");
    EXPECT_EQ(plugin().create(path.c_str(), 16, 16), nullptr);
    EXPECT_FALSE(std::filesystem::exists(path));
    expectWriterIdle();
}

TEST_F(CreationFailure, NullPathGivesNull) {
    EXPECT_EQ(plugin().create(nullptr, 16, 16), nullptr);
    expectWriterIdle();
}

struct BadSize {
    const char* label;
    int32_t width;
    int32_t height;
};

void PrintTo(const BadSize& size, std::ostream* out) { *out << size.width << "x" << size.height; }

class UnusableFrameSize : public CreationFailure, public ::testing::WithParamInterface<BadSize> {};

TEST_P(UnusableFrameSize, GivesNullAndOpensNothing) {
    const std::string path = dir_.file("sized.avi");
    EXPECT_EQ(plugin().create(path.c_str(), GetParam().width, GetParam().height), nullptr);
    EXPECT_FALSE(std::filesystem::exists(path)) << "no file is created";
    expectWriterIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, UnusableFrameSize,
    ::testing::Values(BadSize{"ZeroWidth", 0, 10}, BadSize{"ZeroHeight", 10, 0},
                      BadSize{"NegativeWidth", -1, 10}, BadSize{"NegativeHeight", 10, -5},
                      BadSize{"MostNegative", INT32_MIN, INT32_MIN},
                      // 196608 x 65536 bytes is 2^32: the frame's bytes overflow 32 bits.
                      BadSize{"BytesOverflow32Bits", 65536, 65536},
                      // The stride times the height overflows before the rows do.
                      BadSize{"WidestRowTimesTwo", 715827881, 2},
                      BadSize{"RowStrideOverflows", INT32_MAX, 1},
                      // 3 GiB: fits 32 bits unsigned, not the write's signed length.
                      BadSize{"BeyondSignedLength", 32768, 32768}),
    [](const ::testing::TestParamInfo<BadSize>& testInfo) { return testInfo.param.label; });

TEST_F(CreationFailure, LargestAcceptedFrameSizeOpensAMovie) {
    // 3 x 16384 x 43690 bytes stays below 2^31; creation allocates no frame.
    MovieRecord* movie = plugin().create(dir_.file("large.avi").c_str(), 16384, 43690);
    ASSERT_NE(movie, nullptr);
    plugin().close(movie);
}

TEST_F(CreationFailure, CreateWhileOpenGivesNullAndKeepsTheOpenMovie) {
    const std::string openPath = dir_.file("open.avi");
    const std::string secondPath = dir_.file("second.avi");
    HostFrame first(5, 4, 1);
    HostFrame second(5, 4, 2);
    MovieRecord* movie = plugin().create(openPath.c_str(), 5, 4);
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(plugin().addFrame(movie, 5, 4, &first.stack), 1);
    EXPECT_EQ(plugin().create(secondPath.c_str(), 5, 4), nullptr);
    EXPECT_EQ(plugin().create(openPath.c_str(), 5, 4), nullptr);
    EXPECT_FALSE(std::filesystem::exists(secondPath));
    EXPECT_EQ(avifile::libraryReferences(), 1) << "the refused creation took no reference";
    EXPECT_EQ(plugin().addFrame(movie, 5, 4, &second.stack), 1);
    EXPECT_EQ(movie->frameCount, 2);
    plugin().close(movie);
    EXPECT_TRUE(decodesTo(openPath, {&first, &second}));
}

TEST_F(CreationFailure, ClosingFreesTheCompressionOptions) {
    const MappedBlockWatch watch;
    void* block = nullptr;
    avifile::setSaveOptionsHook([&block](AVICOMPRESSOPTIONS& options) {
        block = avifile::allocateOptionsBlock(MappedBlockWatch::kBytes);
        options.lpParms = block;
        options.cbParms = 64;
        return true;
    });
    MovieRecord* movie = plugin().create(dir_.file("options.avi").c_str(), 8, 8);
    ASSERT_NE(movie, nullptr);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(watch.freed(block)) << "the options are in use while the movie is open";
    plugin().close(movie);
    EXPECT_TRUE(watch.freed(block));
}

}  // namespace
