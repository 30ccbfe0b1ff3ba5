// Reference counts of files and streams, the order of releases, and calls
// with null, foreign or already released handles.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <thread>

#include "api_fixture.h"
#include "support/riff_reader.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibFrame;
using apitest::dibHeader;

// Whether the file on disk has been completed: its index written and every
// size final.
bool isComplete(const std::string& path) {
    const riffcheck::File file = riffcheck::parseFile(path);
    return file.ok() && file.hasFirstIndex;
}

class Releases : public ApiTest {
protected:
    // Opens a 4x2 recording with three frames written.
    Recording recordThreeFrames(const std::string& path) {
        Recording recording = open(path, 4, 2);
        const std::vector<uint8_t> format = dibFormatBlock(dibHeader(4, 2));
        EXPECT_EQ(AVIStreamSetFormat(recording.compressed, 0, const_cast<uint8_t*>(format.data()),
                                     static_cast<LONG>(format.size())),
                  AVIERR_OK);
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t> frame = dibFrame(4, 2, i);
            EXPECT_EQ(AVIStreamWrite(recording.compressed, i, 1, frame.data(),
                                     static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr, nullptr),
                      AVIERR_OK);
        }
        return recording;
    }
};

TEST_F(Releases, InEveryOrderTheFileCompletesWithTheLastReference) {
    // Which handle goes when, and the count that each release reports.
    enum Handle { File, Raw, Compressed };
    struct Order {
        std::array<Handle, 3> handles;
        std::array<ULONG, 3> remaining;
    };
    const Order orders[] = {
        {{Raw, Compressed, File}, {1, 0, 0}},  // the plug-in's order
        {{Raw, File, Compressed}, {1, 1, 0}},
        {{Compressed, Raw, File}, {0, 0, 0}},
        {{Compressed, File, Raw}, {0, 1, 0}},
        {{File, Raw, Compressed}, {1, 1, 0}},
        {{File, Compressed, Raw}, {1, 0, 0}},
    };
    int run = 0;
    for (const Order& order : orders) {
        const std::string path = dir_.file("order" + std::to_string(run++) + ".avi");
        Recording recording = recordThreeFrames(path);
        for (size_t step = 0; step < 3; ++step) {
            ASSERT_FALSE(isComplete(path)) << path << " completed before release " << step;
            ULONG remaining = 0;
            switch (order.handles[step]) {
                case File: remaining = AVIFileRelease(recording.file); break;
                case Raw: remaining = AVIStreamRelease(recording.raw); break;
                case Compressed: remaining = AVIStreamRelease(recording.compressed); break;
            }
            EXPECT_EQ(remaining, order.remaining[step]) << path << " release " << step;
        }
        const riffcheck::File file = riffcheck::parseFile(path);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        EXPECT_TRUE(file.hasFirstIndex);
        ASSERT_EQ(file.streams.size(), 1u);
        EXPECT_EQ(file.streams[0].header.length, 3u);
        EXPECT_EQ(file.streams[0].samples.size(), 3u);
    }
}

TEST_F(Releases, StreamsKeepTheirFileAndCountIt) {
    PAVIFILE file = nullptr;
    const std::string path = dir_.file("two.avi");
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA info = apitest::videoInfo(4, 2);
    PAVISTREAM first = nullptr;
    PAVISTREAM second = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(file, &first, &info), AVIERR_OK);
    ASSERT_EQ(AVIFileCreateStreamA(file, &second, &info), AVIERR_OK);
    // Streams with formats: a file whose streams never got one holds nothing
    // and is dropped unwritten.
    BITMAPINFOHEADER format = apitest::dibHeader(4, 2);
    ASSERT_EQ(AVIStreamSetFormat(first, 0, &format, sizeof format), AVIERR_OK);
    ASSERT_EQ(AVIStreamSetFormat(second, 0, &format, sizeof format), AVIERR_OK);
    EXPECT_EQ(avifile::liveObjects(), liveAtStart_ + 3);
    EXPECT_EQ(AVIFileRelease(file), 2u) << "each stream holds the file";
    EXPECT_EQ(AVIStreamRelease(first), 0u);
    EXPECT_FALSE(isComplete(path));
    EXPECT_EQ(AVIStreamRelease(second), 0u);
    EXPECT_TRUE(isComplete(path));
    const riffcheck::File written = riffcheck::parseFile(path);
    EXPECT_EQ(written.streams.size(), 2u);
}

TEST_F(Releases, ASecondReleaseOfAHandleTakesNothingFromOthers) {
    const std::string path = dir_.file("twice.avi");
    Recording recording = recordThreeFrames(path);
    EXPECT_EQ(AVIFileRelease(recording.file), 1u);
    EXPECT_EQ(AVIFileRelease(recording.file), 0u) << "a released handle is unknown";
    EXPECT_EQ(AVIStreamRelease(recording.raw), 1u);
    EXPECT_EQ(AVIStreamRelease(recording.raw), 0u);
    EXPECT_FALSE(isComplete(path)) << "the compressing stream still holds the file";
    std::vector<uint8_t> frame = dibFrame(4, 2, 9);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, 3, 1, frame.data(), static_cast<LONG>(frame.size()),
                             AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    EXPECT_EQ(AVIStreamRelease(recording.compressed), 0u);
    EXPECT_EQ(AVIStreamRelease(recording.compressed), 0u);
    const riffcheck::File file = riffcheck::parseFile(path);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.streams[0].samples.size(), 4u);
}

TEST_F(ApiTest, EveryCallRefusesNullForeignAndReleasedHandles) {
    Recording released = open(dir_.file("gone.avi"), 4, 2);
    close(released);
    Recording live = open(dir_.file("live.avi"), 4, 2);
    // A stream handle where a file handle belongs, and the reverse, are as
    // unknown as made-up ones.
    const std::vector<PAVIFILE> badFiles = {nullptr, released.file,
                                            reinterpret_cast<PAVIFILE>(live.raw),
                                            reinterpret_cast<PAVIFILE>(uintptr_t{0x1000})};
    const std::vector<PAVISTREAM> badStreams = {nullptr, released.raw, released.compressed,
                                                reinterpret_cast<PAVISTREAM>(live.file),
                                                reinterpret_cast<PAVISTREAM>(uintptr_t{0x1234})};
    for (PAVIFILE file : badFiles) {
        AVISTREAMINFOA info = apitest::videoInfo(4, 2);
        PAVISTREAM stream = reinterpret_cast<PAVISTREAM>(uintptr_t{0xDEAD0});
        EXPECT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_BADHANDLE);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(AVIFileRelease(file), 0u);
    }
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(4, 2));
    std::vector<uint8_t> frame = dibFrame(4, 2, 0);
    for (PAVISTREAM stream : badStreams) {
        AVICOMPRESSOPTIONS options{};
        options.fccHandler = comptypeDIB;
        PAVISTREAM compressed = reinterpret_cast<PAVISTREAM>(uintptr_t{0xDEAD0});
        EXPECT_EQ(AVIMakeCompressedStream(&compressed, stream, &options, nullptr), AVIERR_BADHANDLE);
        EXPECT_EQ(compressed, nullptr);
        EXPECT_EQ(AVIStreamSetFormat(stream, 0, format.data(), static_cast<LONG>(format.size())),
                  AVIERR_BADHANDLE);
        LONG samples = 7;
        LONG bytes = 7;
        EXPECT_EQ(AVIStreamWrite(stream, 0, 1, frame.data(), static_cast<LONG>(frame.size()),
                                 AVIIF_KEYFRAME, &samples, &bytes),
                  AVIERR_BADHANDLE);
        EXPECT_EQ(samples, 0);
        EXPECT_EQ(bytes, 0);
        EXPECT_EQ(AVIStreamRelease(stream), 0u);
        AVICOMPRESSOPTIONS* list[] = {&options};
        PAVISTREAM streams[] = {stream};
        EXPECT_EQ(AVISaveOptions(nullptr, 0, 1, streams, list), FALSE);
    }
    // The live objects were not disturbed by any of it.
    EXPECT_EQ(AVIStreamSetFormat(live.compressed, 0, format.data(), static_cast<LONG>(format.size())),
              AVIERR_OK);
    EXPECT_EQ(AVIStreamWrite(live.compressed, 0, 1, frame.data(), static_cast<LONG>(frame.size()),
                             AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    close(live);
    EXPECT_TRUE(isComplete(dir_.file("live.avi")));
}

TEST_F(ApiTest, NullArgumentsAreRefusedWithoutSideEffects) {
    EXPECT_EQ(AVIFileOpenA(nullptr, dir_.file("x.avi").c_str(), OF_WRITE | OF_CREATE, nullptr),
              AVIERR_BADPARAM);
    PAVIFILE file = reinterpret_cast<PAVIFILE>(uintptr_t{0xDEAD0});
    EXPECT_EQ(AVIFileOpenA(&file, nullptr, OF_WRITE | OF_CREATE, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(file, nullptr);
    Recording recording = open(dir_.file("y.avi"), 4, 2);
    EXPECT_EQ(AVIFileCreateStreamA(recording.file, nullptr, nullptr), AVIERR_BADPARAM);
    PAVISTREAM stream = nullptr;
    EXPECT_EQ(AVIFileCreateStreamA(recording.file, &stream, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIMakeCompressedStream(&stream, recording.raw, nullptr, nullptr), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamSetFormat(recording.compressed, 0, nullptr, 40), AVIERR_BADPARAM);
    std::vector<uint8_t> format = dibFormatBlock(dibHeader(4, 2));
    EXPECT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 0), AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamSetFormat(recording.compressed, -1, format.data(), 40), AVIERR_BADPARAM);
    ASSERT_EQ(AVIStreamSetFormat(recording.compressed, 0, format.data(), 40), AVIERR_OK);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, 0, 1, nullptr, 24, AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_BADPARAM);
    std::vector<uint8_t> frame = dibFrame(4, 2, 0);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, 0, 1, frame.data(), -1, 0, nullptr, nullptr),
              AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, 0, 0, frame.data(), 24, 0, nullptr, nullptr),
              AVIERR_BADPARAM);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, 0, 2, frame.data(), 24, 0, nullptr, nullptr),
              AVIERR_UNSUPPORTED);
    EXPECT_EQ(AVIStreamWrite(recording.compressed, -2, 1, frame.data(), 24, 0, nullptr, nullptr),
              AVIERR_BADPARAM);
    EXPECT_EQ(AVISaveOptions(nullptr, 0, 1, &recording.raw, nullptr), FALSE);
    EXPECT_EQ(AVISaveOptions(nullptr, 0, 0, &recording.raw, nullptr), FALSE);
    AVICOMPRESSOPTIONS* noOptions[] = {nullptr};
    EXPECT_EQ(AVISaveOptions(nullptr, 0, 1, &recording.raw, noOptions), FALSE);
    AVICOMPRESSOPTIONS options{};
    AVICOMPRESSOPTIONS* list[] = {&options};
    EXPECT_EQ(AVISaveOptions(nullptr, 0, 1, nullptr, list), FALSE);
    EXPECT_EQ(AVISaveOptionsFree(1, nullptr), AVIERR_BADPARAM);
    close(recording);
    const riffcheck::File written = riffcheck::parseFile(dir_.file("y.avi"));
    ASSERT_TRUE(written.ok()) << written.describeErrors();
    EXPECT_EQ(written.streams[0].samples.size(), 0u) << "no refused write reached the file";
}

TEST_F(ApiTest, InitAndExitAreCounted) {
    const int before = avifile::libraryReferences();
    AVIFileInit();
    AVIFileInit();
    EXPECT_EQ(avifile::libraryReferences(), before + 2);
    AVIFileExit();
    EXPECT_EQ(avifile::libraryReferences(), before + 1);
    AVIFileExit();
    EXPECT_EQ(avifile::libraryReferences(), before);
    for (int i = 0; i < before + 2; ++i) {
        AVIFileExit();
    }
    EXPECT_EQ(avifile::libraryReferences(), 0) << "an unmatched exit does not go below zero";
}

TEST_F(ApiTest, OpenCreatesOrTruncatesForWriting) {
    const std::string path = dir_.file("old.avi");
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(100000, 'x');
    }
    Recording recording = open(path, 4, 2);
    close(recording);
    const riffcheck::File file = riffcheck::parseFile(path);
    EXPECT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_LT(file.fileSize, 100000u);
}

TEST_F(ApiTest, AnUncreatablePathGivesFileOpenAndTouchesNothing) {
    PAVIFILE file = reinterpret_cast<PAVIFILE>(uintptr_t{0xDEAD0});
    const std::string path = dir_.file("missing-folder/movie.avi");
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_FILEOPEN);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(AVIFileOpenA(&file, dir_.path().c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_FILEOPEN)
        << "a folder is no file";
    EXPECT_EQ(avifile::liveObjects(), liveAtStart_);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(ApiTest, OnlyCreatingIsOffered) {
    const std::string path = dir_.file("modes.avi");
    PAVIFILE file = nullptr;
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_UNSUPPORTED);
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE, nullptr), AVIERR_UNSUPPORTED);
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READWRITE | OF_SHARE_DENY_WRITE, nullptr),
              AVIERR_UNSUPPORTED);
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_READWRITE | OF_CREATE, nullptr),
              AVIERR_BADFLAGS);
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE | 0x4000, nullptr), AVIERR_BADFLAGS);
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE | OF_SHARE_DENY_WRITE, nullptr),
              AVIERR_OK);
    EXPECT_EQ(AVIFileRelease(file), 0u);
}

TEST_F(ApiTest, RecordingsOnSeveralThreadsKeepTheirCountsApart) {
    // Each thread records a file of its own and then keeps releasing its
    // already released handles while the others still write.
    constexpr int kThreads = 4;
    constexpr int kFrames = 30;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            const std::string path = dir_.file("thread" + std::to_string(t) + ".avi");
            AVISTREAMINFOA info = apitest::videoInfo(8, 4);
            AVICOMPRESSOPTIONS options{};
            std::vector<uint8_t> format = dibFormatBlock(dibHeader(8, 4));
            PAVIFILE file = nullptr;
            PAVISTREAM raw = nullptr;
            PAVISTREAM compressed = nullptr;
            failures[t] += AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK;
            failures[t] += AVIFileCreateStreamA(file, &raw, &info) != AVIERR_OK;
            failures[t] += AVIMakeCompressedStream(&compressed, raw, &options, nullptr) != AVIERR_OK;
            failures[t] += AVIStreamSetFormat(compressed, 0, format.data(), 40) != AVIERR_OK;
            for (int i = 0; i < kFrames; ++i) {
                std::vector<uint8_t> frame = dibFrame(8, 4, i + t);
                failures[t] += AVIStreamWrite(compressed, i, 1, frame.data(), static_cast<LONG>(frame.size()),
                                              AVIIF_KEYFRAME, nullptr, nullptr) != AVIERR_OK;
            }
            AVIStreamRelease(raw);
            AVIStreamRelease(compressed);
            AVIFileRelease(file);
            for (int i = 0; i < 100; ++i) {
                failures[t] += AVIStreamRelease(raw) != 0u;
                failures[t] += AVIFileRelease(file) != 0u;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        const std::string path = dir_.file("thread" + std::to_string(t) + ".avi");
        const std::vector<uint8_t> bytes = riffcheck::readWholeFile(path);
        const riffcheck::File file = riffcheck::parse(bytes);
        ASSERT_TRUE(file.ok()) << file.describeErrors();
        ASSERT_EQ(file.streams.at(0).samples.size(), static_cast<size_t>(kFrames));
        EXPECT_EQ(riffcheck::sampleData(bytes, file.streams[0].samples.back()), dibFrame(8, 4, kFrames - 1 + t));
    }
}

}  // namespace
