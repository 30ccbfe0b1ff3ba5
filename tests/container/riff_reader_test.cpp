// Our reader catches broken files: each case takes a good file and spoils
// one size or index entry, as a faulty writer would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "support/riff_reader.h"

namespace {

using avifile::ContainerSettings;
using avifile::MemorySink;

std::vector<uint8_t> goodFile(uint64_t riffLimit = 1 << 30, const char* name = "name") {
    ContainerSettings settings;
    settings.riffLimit = riffLimit;
    auto owned = std::make_unique<MemorySink>();
    MemorySink* sink = owned.get();
    auto writer = fixtures::videoWriter(std::move(owned), 7, 5, settings, name);
    for (int i = 0; i < 40; ++i) {
        const auto frame = fixtures::dibFrame(7, 5, i);
        writer->writeSample(0, frame.data(), frame.size(), i % 4 == 0);
    }
    writer->finish();
    return sink->bytes();
}

size_t find(const std::vector<uint8_t>& bytes, const char* code, size_t from = 0) {
    const auto at = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                                code, code + 4);
    return static_cast<size_t>(at - bytes.begin());
}

void addTo32(std::vector<uint8_t>& bytes, size_t at, int32_t delta) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    value += static_cast<uint32_t>(delta);
    std::memcpy(bytes.data() + at, &value, 4);
}

TEST(RiffReader, GoodFilesPass) {
    for (const uint64_t limit : {uint64_t{1} << 30, uint64_t{20} << 10}) {
        const riffcheck::File file = riffcheck::parse(goodFile(limit));
        EXPECT_TRUE(file.ok()) << file.describeErrors();
        EXPECT_EQ(file.samples.size(), 40u);
        EXPECT_EQ(file.streams[0].name, "name");
    }
}

TEST(RiffReader, CatchesWrongListAndChunkSizes) {
    std::vector<uint8_t> bytes = goodFile();
    const size_t movi = find(bytes, "movi");
    addTo32(bytes, movi - 4, 2);  // the movi list claims two bytes too many
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    addTo32(bytes, 4, -2);  // the RIFF ends before its idx1 does
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    const size_t strf = find(bytes, "strf");
    addTo32(bytes, strf + 4, 1);  // one byte more: runs into the next chunk
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    bytes.resize(bytes.size() - 10);  // cut short
    EXPECT_FALSE(riffcheck::parse(bytes).ok());
}

TEST(RiffReader, CatchesIndexEntriesThatMissTheirChunks) {
    std::vector<uint8_t> bytes = goodFile();
    const size_t idx1 = find(bytes, "idx1");
    addTo32(bytes, idx1 + 8 + 16 * 3 + 8, 2);  // entry 3's offset
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    addTo32(bytes, idx1 + 8 + 16 * 5 + 12, 1);  // entry 5's size
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    const size_t ix = find(bytes, "ix00");
    addTo32(bytes, ix + 8 + 24 + 8 * 2, 8);  // a standard index entry's offset
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    addTo32(bytes, ix + 8 + 24 + 8 * 4 + 4, 0x80000000);  // its key-frame flag
    const riffcheck::File flagged = riffcheck::parse(bytes);
    EXPECT_FALSE(flagged.ok());  // idx1 says otherwise

    bytes = goodFile();
    const size_t indx = find(bytes, "indx");
    addTo32(bytes, indx + 8 + 24, 4);  // the super index points beside ix00
    EXPECT_FALSE(riffcheck::parse(bytes).ok());

    bytes = goodFile();
    addTo32(bytes, indx + 8 + 24 + 12, 1);  // a duration that is not the count
    EXPECT_FALSE(riffcheck::parse(bytes).ok());
}

TEST(RiffReader, CatchesAnUnterminatedName) {
    std::vector<uint8_t> bytes = goodFile(1 << 30, "abc");
    const size_t strn = find(bytes, "strn");
    bytes[strn + 8 + 3] = 'd';  // the terminating zero
    const riffcheck::File file = riffcheck::parse(bytes);
    EXPECT_FALSE(file.ok());
    EXPECT_EQ(file.streams[0].name, "abcd");  // read no further than the chunk
}

TEST(RiffReader, OpenEndedFilesNeedTheOption) {
    std::vector<uint8_t> bytes = goodFile(20 << 10);
    // As while recording: the last RIFF and its movi list to the end.
    size_t last = 0;
    for (size_t at = find(bytes, "RIFF", 1); at < bytes.size(); at = find(bytes, "RIFF", at + 1)) {
        last = at;
    }
    ASSERT_GT(last, 0u);
    std::memset(bytes.data() + last + 4, 0, 4);
    std::memset(bytes.data() + last + 16, 0, 4);
    EXPECT_FALSE(riffcheck::parse(bytes).ok());
    riffcheck::Options options;
    options.allowOpenEnded = true;
    const riffcheck::File file = riffcheck::parse(bytes, options);
    EXPECT_TRUE(file.ok()) << file.describeErrors();
    EXPECT_EQ(file.samples.size(), 40u);
}

}  // namespace
