// The file sink: creating, appending from many buffers, overwriting, and a
// failed append (the file-size limit) rolled back without killing the
// process.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "api/failure_reason.h"
#include "container/avi_writer.h"
#include "riff/byte_sink.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

using avifile::ConstBuffer;
using avifile::createFileSink;

uint64_t sizeOnDisk(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : UINT64_MAX;
}

TEST(FileSink, CreatesTruncatesAppendsAndOverwrites) {
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
TEST(FileSink, PathThatCannotHoldAMovieGivesNull) {
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
TEST(FileSink, SinkDroppedUnwrittenLeavesThePathAsItWas) {
    TempDir dir;
    const std::string existing = dir.file("old.avi");
    {
        std::ofstream old(existing, std::ios::binary);
        old << std::string(5000, 'o');
    }
    // Truncating, and overwriting in place.
    for (auto* open : {+[](const char* path) { return createFileSink(path); },
                       +[](const char* path) { return avifile::createAviFileSink(path); }}) {
        EXPECT_NE(open(existing.c_str()), nullptr);
        EXPECT_EQ(riffcheck::readWholeFile(existing), std::vector<uint8_t>(5000, 'o'));
        const std::string fresh = dir.file("new.avi");
        EXPECT_NE(open(fresh.c_str()), nullptr);
        EXPECT_FALSE(std::filesystem::exists(fresh));
    }
}

// In a child under a small file-size limit: an append that would pass it
// fails (no SIGXFSZ death), the file is cut back to where it was, and
// smaller appends still succeed.
TEST(FileSink, AppendPastTheFileSizeLimitRollsBack) {
    TempDir dir;
    const std::string path = dir.file("limited.bin");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{10000, 10000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(10);
        }
        auto sink = createFileSink(path.c_str());
        if (sink == nullptr) {
            _exit(11);
        }
        std::vector<uint8_t> block(6000, 1);
        const ConstBuffer header{block.data(), 8};
        const ConstBuffer body{block.data(), block.size()};
        const ConstBuffer both[] = {header, body};
        if (!sink->append({&body, 1})) {
            _exit(12);
        }
        if (sink->append(both)) {  // 6008 more bytes: past the limit
            _exit(13);
        }
        if (sink->size() != 6000 || sizeOnDisk(path) != 6000) {
            _exit(14);
        }
        const ConstBuffer small{block.data(), 3000};
        if (!sink->append({&small, 1}) || sizeOnDisk(path) != 9000) {
            _exit(15);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sizeOnDisk(path), 9000u);
}

}  // namespace
