// The RIFF chunk helper: sizes, padding, nesting, and sizes too large for
// their field.
#include <gtest/gtest.h>

#include <cstring>

#include "riff/chunk_writer.h"
#include "riff/fourcc.h"

namespace {

using avifile::ChunkStatus;
using avifile::ChunkToken;
using avifile::ChunkWriter;
using avifile::ConstBuffer;
using avifile::fourcc;
using avifile::MemorySink;

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// A sink that only counts: it pretends to hold more bytes than a test could
// allocate, to reach the limits of the size field.
class CountingSink : public avifile::ByteSink {
public:
    explicit CountingSink(uint64_t start) : size_(start) {}
    bool append(std::span<const ConstBuffer> parts) override {
        for (const ConstBuffer& part : parts) {
            size_ += part.size;
        }
        ++appends;
        return true;
    }
    bool writeAt(uint64_t position, const void*, size_t size) override {
        lastWriteAt = position;
        size_ = std::max(size_, position + size);
        ++writes;
        return true;
    }
    uint64_t size() const override { return size_; }
    void grow(uint64_t bytes) { size_ += bytes; }

    int appends = 0;
    int writes = 0;
    uint64_t lastWriteAt = 0;

private:
    uint64_t size_;
};

TEST(ChunkWriter, AppendedChunkCarriesSizeAndPadByte) {
    MemorySink sink;
    ChunkWriter writer(sink);
    const uint8_t odd[3] = {1, 2, 3};
    ASSERT_EQ(writer.appendChunk(fourcc("abcd"), odd, sizeof odd), ChunkStatus::ok);
    const uint8_t even[2] = {4, 5};
    ASSERT_EQ(writer.appendChunk(fourcc("efgh"), even, sizeof even), ChunkStatus::ok);
    const std::vector<uint8_t>& bytes = sink.bytes();
    ASSERT_EQ(bytes.size(), 8u + 3 + 1 + 8 + 2);
    EXPECT_EQ(le32(bytes, 0), fourcc("abcd"));
    EXPECT_EQ(le32(bytes, 4), 3u);  // the size leaves the pad byte out
    EXPECT_EQ(bytes[11], 0);        // pad byte
    EXPECT_EQ(le32(bytes, 12), fourcc("efgh"));
    EXPECT_EQ(le32(bytes, 16), 2u);
}

TEST(ChunkWriter, PartsOfAChunkAreJoinedInOneAppend) {
    CountingSink sink(0);
    ChunkWriter writer(sink);
    const uint8_t a[5] = {};
    const uint8_t b[4] = {};
    const ConstBuffer parts[] = {{a, sizeof a}, {b, sizeof b}};
    ASSERT_EQ(writer.appendChunk(fourcc("data"), parts), ChunkStatus::ok);
    EXPECT_EQ(sink.appends, 1);
    EXPECT_EQ(sink.size(), 8u + 9 + 1);
}

TEST(ChunkWriter, NestedListsGetTheSizesOfWhatTheyHold) {
    MemorySink sink;
    ChunkWriter writer(sink);
    ChunkToken outer;
    ChunkToken inner;
    ASSERT_EQ(writer.beginList(fourcc("RIFF"), fourcc("TEST"), outer), ChunkStatus::ok);
    ASSERT_EQ(writer.beginList(fourcc("LIST"), fourcc("innr"), inner), ChunkStatus::ok);
    const uint8_t data[7] = {};
    ASSERT_EQ(writer.appendChunk(fourcc("leaf"), data, sizeof data), ChunkStatus::ok);
    ASSERT_EQ(writer.end(inner), ChunkStatus::ok);
    ChunkToken open;
    ASSERT_EQ(writer.begin(fourcc("open"), open), ChunkStatus::ok);
    const uint8_t one = 9;
    const ConstBuffer part{&one, 1};
    ASSERT_TRUE(sink.append({&part, 1}));
    ASSERT_EQ(writer.end(open), ChunkStatus::ok);  // pads the one byte
    ASSERT_EQ(writer.end(outer), ChunkStatus::ok);

    const std::vector<uint8_t>& bytes = sink.bytes();
    // RIFF(12) LIST(12) leaf(8+7+1) open(8+1+1)
    ASSERT_EQ(bytes.size(), 12u + 12 + 16 + 10);
    EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(le32(bytes, 16), 4u + 16);
    EXPECT_EQ(le32(bytes, 40 + 4), 1u);
    EXPECT_EQ(bytes.size() % 2, 0u);
}

TEST(ChunkWriter, PlaceholderStaysUntilTheChunkIsEnded) {
    MemorySink sink;
    ChunkWriter writer(sink);
    ChunkToken list;
    ASSERT_EQ(writer.beginList(fourcc("LIST"), fourcc("movi"), list, 0), ChunkStatus::ok);
    EXPECT_EQ(le32(sink.bytes(), 4), 0u);
    const uint8_t data[4] = {};
    ASSERT_EQ(writer.appendChunk(fourcc("00db"), data, sizeof data), ChunkStatus::ok);
    ASSERT_EQ(writer.patchSize(list), ChunkStatus::ok);
    EXPECT_EQ(le32(sink.bytes(), 4), 4u + 12);
}

TEST(ChunkWriter, SizesPastTheFieldAreRefusedNotCut) {
    // A list begun far into a large file, grown past what 32 bits hold.
    CountingSink sink(uint64_t{5} << 30);
    ChunkWriter writer(sink);
    ChunkToken list;
    ASSERT_EQ(writer.beginList(fourcc("RIFF"), fourcc("AVIX"), list), ChunkStatus::ok);
    EXPECT_EQ(list.position, uint64_t{5} << 30);
    sink.grow(avifile::kMaxChunkSize - 4);  // exactly the largest size
    EXPECT_EQ(writer.patchSize(list), ChunkStatus::ok);
    EXPECT_EQ(sink.lastWriteAt, (uint64_t{5} << 30) + 4);
    const int writesBefore = sink.writes;
    sink.grow(1);
    EXPECT_EQ(writer.patchSize(list), ChunkStatus::tooLarge);
    EXPECT_EQ(writer.end(list), ChunkStatus::tooLarge);
    EXPECT_EQ(sink.writes, writesBefore);  // nothing written for a size that does not fit

    // One chunk's data too large for its field: refused before anything
    // goes to the sink.
    const uint8_t byte = 0;
    const ConstBuffer parts[] = {{&byte, avifile::kMaxChunkSize}, {&byte, 1}};
    const int appendsBefore = sink.appends;
    EXPECT_EQ(writer.appendChunk(fourcc("00db"), parts), ChunkStatus::tooLarge);
    EXPECT_EQ(sink.appends, appendsBefore);
}

TEST(ChunkWriter, RefusedAppendIsReported) {
    MemorySink sink(11);
    ChunkWriter writer(sink);
    const uint8_t data[4] = {};
    EXPECT_EQ(writer.appendChunk(fourcc("00db"), data, sizeof data), ChunkStatus::writeFailed);
    EXPECT_EQ(sink.size(), 0u);
    ChunkToken token;
    ASSERT_EQ(writer.begin(fourcc("abcd"), token), ChunkStatus::ok);
    const uint8_t three[3] = {1, 2, 3};
    const ConstBuffer part{three, sizeof three};
    ASSERT_TRUE(sink.append({&part, 1}));
    // 11 bytes now: the pad byte does not fit, and the size stays unwritten.
    EXPECT_EQ(writer.end(token), ChunkStatus::writeFailed);
    EXPECT_EQ(le32(sink.bytes(), 4), 0u);
}

}  // namespace
