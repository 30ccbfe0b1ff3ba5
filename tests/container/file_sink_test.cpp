// The file sink: creating, appending from many buffers, overwriting, and a
// failed append (the file-size limit) rolled back without killing the
// process; each on the buffered and on the direct path.
#include <gtest/gtest.h>

#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "api/failure_reason.h"
#include "api/library_settings.h"
#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "riff/byte_sink.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ConstBuffer;

class FileSink : public testing::TestWithParam<fixtures::SinkPath> {
protected:
    std::unique_ptr<avifile::ByteSink> createFileSink(const char* path) const {
        return avifile::createFileSink(path, nullptr, GetParam().options);
    }
    std::unique_ptr<avifile::ByteSink> createAviFileSink(const char* path) const {
        return avifile::createAviFileSink(path, GetParam().options);
    }
};
INSTANTIATE_TEST_SUITE_P(Paths, FileSink, fixtures::sinkPaths(), fixtures::sinkPathName);

uint64_t sizeOnDisk(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : UINT64_MAX;
}

TEST_P(FileSink, CreatesTruncatesAppendsAndOverwrites) {
    TempDir dir;
    const std::string path = dir.file("sink.bin");
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(1000, 'x');
    }
    auto sink = createFileSink(path.c_str());
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sizeOnDisk(path), 1000u);  // untouched until the first write
    EXPECT_EQ(sink->size(), 0u);

    // More parts than one system call takes: all arrive, in order.
    std::vector<uint8_t> values(3000);
    std::vector<ConstBuffer> parts;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<uint8_t>(i * 7);
        parts.push_back(ConstBuffer{&values[i], 1});
    }
    ASSERT_TRUE(sink->append(parts));  // truncates the earlier file first
    EXPECT_EQ(sink->size(), values.size());
    // On disk at once, before the sink is closed.
    EXPECT_EQ(sizeOnDisk(path), values.size());
    const uint8_t patch[3] = {0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(sink->writeAt(10, patch, sizeof patch));
    EXPECT_EQ(sink->size(), values.size());
    ASSERT_TRUE(sink->writeAt(values.size(), patch, 1));  // extends the end
    EXPECT_EQ(sink->size(), values.size() + 1);
    sink.reset();

    std::vector<uint8_t> expected = values;
    expected[10] = 0xAA;
    expected[11] = 0xBB;
    expected[12] = 0xCC;
    expected.push_back(0xAA);
    EXPECT_EQ(riffcheck::readWholeFile(path), expected);
}

// Paths that cannot hold a movie give null at once, with a reason, and
// leave nothing behind; a pipe with no reader does not make the call wait.
TEST_P(FileSink, PathThatCannotHoldAMovieGivesNull) {
    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.file("no-such-folder/x.avi"), std::string(),
                                    dir.path().string(), fifo, std::string("/dev/tty")}) {
        avifile::clearFailureReason();
        EXPECT_EQ(createFileSink(path.c_str()), nullptr) << path;
        EXPECT_FALSE(avifile::failureReason().empty()) << path;
    }
    EXPECT_EQ(createFileSink(nullptr), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no-such-folder")));
}

// A sink dropped before its first write leaves the path as it was: an
// earlier file byte for byte, and no file where there was none.
TEST_P(FileSink, SinkDroppedUnwrittenLeavesThePathAsItWas) {
    TempDir dir;
    const std::string existing = dir.file("old.avi");
    {
        std::ofstream old(existing, std::ios::binary);
        old << std::string(5000, 'o');
    }
    // Truncating, and overwriting in place.
    for (const bool inPlace : {false, true}) {
        const auto open = [&](const std::string& path) {
            return inPlace ? createAviFileSink(path.c_str()) : createFileSink(path.c_str());
        };
        EXPECT_NE(open(existing), nullptr);
        EXPECT_EQ(riffcheck::readWholeFile(existing), std::vector<uint8_t>(5000, 'o'));
        const std::string fresh = dir.file("new.avi");
        EXPECT_NE(open(fresh), nullptr);
        EXPECT_FALSE(std::filesystem::exists(fresh));
    }
}

// In a child under a file-size limit: an append that would pass it fails
// (no SIGXFSZ death), the file is cut back to where it was, and smaller
// appends still succeed. At a small scale, and at one where each append
// goes to the system in several pieces and the limit falls inside one.
TEST_P(FileSink, AppendPastTheFileSizeLimitRollsBack) {
    TempDir dir;
    const std::string path = dir.file("limited.bin");
    for (const size_t scale : {size_t{1}, size_t{400}}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit limit{10000 * scale, 10000 * scale};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                _exit(10);
            }
            auto sink = createFileSink(path.c_str());
            if (sink == nullptr) {
                _exit(11);
            }
            std::vector<uint8_t> block(6000 * scale, 1);
            const ConstBuffer header{block.data(), 8};
            const ConstBuffer body{block.data(), block.size()};
            const ConstBuffer both[] = {header, body};
            if (!sink->append({&body, 1})) {
                _exit(12);
            }
            if (sink->append(both)) {  // 8 bytes more than the body: past the limit
                _exit(13);
            }
            if (sink->size() != 6000 * scale || sizeOnDisk(path) != 6000 * scale) {
                _exit(14);
            }
            const ConstBuffer small{block.data(), 3000 * scale};
            if (!sink->append({&small, 1}) || sizeOnDisk(path) != 9000 * scale) {
                _exit(15);
            }
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "child died of signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "scale " << scale;
        EXPECT_EQ(sizeOnDisk(path), 9000u * scale);
    }
}

// A file's bytes, read at once (the sweep below reads many megabytes).
std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// The same calls on every path, over a new file and over a longer earlier
// one, give the same bytes at every step: appends of 1, 4095, 4096 and
// 4097 bytes and larger ones, from memory aligned and not, at odd and even
// positions, in one part or as chunk header, data and pad byte; small
// overwrites inside directly written blocks and beside them; the earlier
// file's bytes hidden and cut away.
TEST(FileSinkPaths, EveryPathWritesTheSameBytes) {
    using avifile::FileSinkOptions;
    using avifile::WriteMode;
    const std::vector<std::pair<std::string, FileSinkOptions>> paths = {
        {"buffered", fixtures::kBuffered.options},
        {"direct-512", fixtures::kDirect.options},
        {"direct-page", {WriteMode::Direct, 1, 0}},
        {"automatic", {}},
        // Buffered for the first 64 KiB, then as the automatic choice.
        {"switching", {WriteMode::Automatic, size_t{1} << 20, 0, 65536}},
    };
    const size_t switching = 4;
    const std::vector<size_t> sizes = {1,     2,     7,     4095,   4096,   4097,
                                       8191,  12289, 65539, 524280, 524288, 1200001};
    // Source memory aligned to a page, and one to three bytes off it.
    std::vector<uint8_t> pool(1300000 + 8192);
    std::mt19937 random(15);
    for (uint8_t& byte : pool) {
        byte = static_cast<uint8_t>(random());
    }
    uint8_t* const aligned = pool.data() + (4096 - reinterpret_cast<uintptr_t>(pool.data()) % 4096);

    for (const bool inPlace : {false, true}) {
        TempDir dir;
        std::vector<std::unique_ptr<avifile::ByteSink>> sinks;
        std::vector<std::string> files;
        for (const auto& [name, options] : paths) {
            files.push_back(dir.file(name + ".bin"));
            if (inPlace) {
                std::ofstream(files.back(), std::ios::binary) << std::string(3000000, 'o');
            }
            sinks.push_back(inPlace ? avifile::createAviFileSink(files.back().c_str(), options)
                                    : avifile::createFileSink(files.back().c_str(), nullptr,
                                                              options));
            ASSERT_NE(sinks.back(), nullptr) << name;
        }
        std::vector<uint8_t> expected;  // what the sinks hold
        for (int step = 0; step < 60; ++step) {
            const size_t size = sizes[random() % sizes.size()];
            const uint8_t* data = aligned + random() % 4;
            const uint8_t header[8] = {'0', '0', 'd', 'b', uint8_t(step), 0, 0, 0};
            const uint8_t pad = 0;
            std::vector<ConstBuffer> parts;
            if (random() % 2 == 0) {
                parts = {{header, 8}, {data, size}};
                if (size % 2 != 0) {
                    parts.push_back({&pad, 1});
                }
            } else {
                parts = {{data, size}};
            }
            const size_t patch = random() % 2 == 0 ? 4 : 10000;
            const bool overwrite = random() % 3 == 0 && expected.size() > patch;
            const uint64_t at = overwrite ? random() % (expected.size() - patch) : 0;
            const bool beforeSwitch = expected.size() < paths[switching].second.directAfterBytes;
            for (size_t i = 0; i < sinks.size(); ++i) {
                const bool ok = overwrite ? sinks[i]->writeAt(at, data, patch)
                                          : sinks[i]->append(parts);
                ASSERT_TRUE(ok) << paths[i].first << " step " << step;
            }
            if (beforeSwitch) {
                ASSERT_EQ(sinks[switching]->directBytes(), 0u) << "step " << step;
            }
            if (overwrite) {
                std::copy(data, data + patch, expected.begin() + static_cast<ptrdiff_t>(at));
            } else {
                for (const ConstBuffer& part : parts) {
                    const auto* bytes = static_cast<const uint8_t*>(part.data);
                    expected.insert(expected.end(), bytes, bytes + part.size);
                }
            }
            const auto reference = fileBytes(files[0]);
            ASSERT_GE(reference.size(), expected.size());
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), reference.begin()))
                << "step " << step;
            for (size_t i = 1; i < files.size(); ++i) {
                ASSERT_EQ(fileBytes(files[i]), reference)
                    << paths[i].first << " step " << step << (inPlace ? " in place" : "");
            }
        }
        for (size_t i = 0; i < sinks.size(); ++i) {
            ASSERT_TRUE(sinks[i]->discardStaleBytes());
            EXPECT_EQ(fileBytes(files[i]), expected) << paths[i].first;
        }
        // Large appends went direct where asked for, unless the temporary
        // folder's file system takes no direct I/O.
        if (sinks[1]->directBytes() == 0) {
            GTEST_SKIP() << "no direct I/O on " << dir.path();
        }
        EXPECT_GT(sinks[2]->directBytes(), 0u);
        EXPECT_EQ(sinks[0]->directBytes(), 0u);
        // The default threshold is far beyond this test's bytes.
        EXPECT_EQ(sinks[3]->directBytes(), 0u);
        if (!inPlace) {
            EXPECT_GT(sinks[switching]->directBytes(), 0u);  // the samples over 1 MiB
        }
    }
}

bool onTmpfs(const std::string& path) {
    struct statfs info {};
    return statfs(path.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// The automatic choice: buffered up to its threshold, then direct for large
// samples on a disk, and buffered on tmpfs, which holds files in the page
// cache anyway; the file is the same.
TEST(FileSinkPaths, AutomaticChoiceTakesDirectOnADiskOnly) {
    std::vector<uint8_t> large(3 << 20);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<uint8_t>(i * 13 + i / 4096);
    }
    const ConstBuffer small{large.data() + 1, 4097};
    const ConstBuffer big{large.data() + 1, large.size() - 1};
    TempDir disk;
    std::vector<std::string> folders;
    if (!onTmpfs(disk.path().string())) {
        folders.push_back(disk.path().string());
    }
    if (onTmpfs("/dev/shm")) {
        folders.push_back("/dev/shm");
    }
    if (folders.empty()) {
        GTEST_SKIP() << "no disk and no tmpfs folder to write in";
    }
    for (const std::string& folder : folders) {
        const std::string path = folder + "/avi-sink-" + std::to_string(getpid()) + ".bin";
        avifile::FileSinkOptions options;
        options.directAfterBytes = 8192;
        auto sink = avifile::createFileSink(path.c_str(), nullptr, options);
        ASSERT_NE(sink, nullptr);
        ASSERT_TRUE(sink->append({&small, 1}));
        ASSERT_TRUE(sink->append({&big, 1}));  // still short of the threshold
        EXPECT_EQ(sink->directBytes(), 0u) << folder;
        ASSERT_TRUE(sink->append({&big, 1}));
        if (onTmpfs(folder)) {
            EXPECT_EQ(sink->directBytes(), 0u) << folder;
        } else if (sink->directBytes() == 0) {
            std::cout << "no direct I/O on " << folder << "\n";
        }
        sink.reset();
        auto bytes = riffcheck::readWholeFile(path);
        std::filesystem::remove(path);
        ASSERT_EQ(bytes.size(), small.size + 2 * big.size) << folder;
        EXPECT_TRUE(std::equal(large.begin() + 1, large.begin() + 4098, bytes.begin())) << folder;
        for (const size_t at : {small.size, small.size + big.size}) {
            EXPECT_TRUE(std::equal(large.begin() + 1, large.end(), bytes.begin() + at)) << folder;
        }
    }
}

// With a flush interval, the writer flushes each time a stream has gone that
// much media further, and a flush that fails fails the sample.
TEST(FileSinkPaths, WriterFlushesEveryIntervalOfMedia) {
    struct CountingSink : avifile::MemorySink {
        bool sync() override {
            ++syncs;
            return !failing;
        }
        int syncs = 0;
        bool failing = false;
    };
    avifile::ContainerSettings settings;
    settings.syncSeconds = 1.0;  // 15 frames of the fixtures' 15 a second
    auto owned = std::make_unique<CountingSink>();
    CountingSink& sink = *owned;
    auto writer = fixtures::videoWriter(std::move(owned), 8, 8, settings);
    const auto frame = fixtures::dibFrame(8, 8, 0);
    std::vector<int> flushedAfter;
    for (int i = 1; i <= 50; ++i) {
        const int before = sink.syncs;
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
        if (sink.syncs != before) {
            flushedAfter.push_back(i);
        }
    }
    EXPECT_EQ(flushedAfter, (std::vector<int>{15, 30, 45}));
    sink.failing = true;
    for (int i = 51; i < 60; ++i) {
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    EXPECT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_FILEWRITE);

    // Off by default.
    auto quiet = std::make_unique<CountingSink>();
    CountingSink& unflushed = *quiet;
    auto plain = fixtures::videoWriter(std::move(quiet), 8, 8);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(plain->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    EXPECT_EQ(unflushed.syncs, 0);
}

// The layer's settings: the call's value first, else the environment's,
// else the default; an unreadable environment value counts as none.
TEST(FileSinkPaths, SettingsComeFromTheCallElseTheEnvironment) {
    using avifile::WriteMode;
    const struct {
        const char* mode;
        WriteMode expected;
    } modes[] = {{nullptr, WriteMode::Automatic},
                 {"direct", WriteMode::Direct},
                 {"buffered", WriteMode::Buffered},
                 {"auto", WriteMode::Automatic},
                 {"DIRECT", WriteMode::Automatic}};
    for (const auto& [text, expected] : modes) {
        if (text != nullptr) {
            setenv("AVIFILE_WRITE_MODE", text, 1);
        }
        EXPECT_EQ(avifile::fileSinkOptions().mode, expected) << (text ? text : "unset");
        avifile::setWriteMode(WriteMode::Buffered);
        EXPECT_EQ(avifile::writeMode(), WriteMode::Buffered);
        avifile::setWriteMode(WriteMode::Unset);
        unsetenv("AVIFILE_WRITE_MODE");
    }
    const struct {
        const char* text;
        double seconds;
    } intervals[] = {{nullptr, avifile::kDefaultSyncSeconds}, {"2", 2.0}, {"0.25", 0.25}, {"0", 0.0},
                     {"1.5s", avifile::kDefaultSyncSeconds}, {"-1", avifile::kDefaultSyncSeconds}};
    for (const auto& [text, seconds] : intervals) {
        if (text != nullptr) {
            setenv("AVIFILE_SYNC_SECONDS", text, 1);
        }
        EXPECT_DOUBLE_EQ(avifile::api::settingsForNewFile().syncSeconds, seconds)
            << (text ? text : "unset");
        avifile::setSyncInterval(3.0);
        EXPECT_DOUBLE_EQ(avifile::api::settingsForNewFile().syncSeconds, 3.0);
        avifile::setSyncInterval(-1.0);
        unsetenv("AVIFILE_SYNC_SECONDS");
    }
    const uint64_t byDefault = avifile::FileSinkOptions{}.directAfterBytes;
    const struct {
        const char* text;
        uint64_t bytes;
    } thresholds[] = {{nullptr, byDefault}, {"4096", 4096}, {"0", byDefault}, {"1M", byDefault}};
    for (const auto& [text, bytes] : thresholds) {
        if (text != nullptr) {
            setenv("AVIFILE_DIRECT_AFTER", text, 1);
        }
        EXPECT_EQ(avifile::fileSinkOptions().directAfterBytes, bytes) << (text ? text : "unset");
        avifile::setDirectThreshold(65536);
        EXPECT_EQ(avifile::fileSinkOptions().directAfterBytes, 65536u);
        avifile::setDirectThreshold(0);
        unsetenv("AVIFILE_DIRECT_AFTER");
    }
}

}  // namespace
