// Reading chunks back: a source of bytes (a file or memory) and a walker
// that steps from one chunk header to the next. The walker trusts no size it
// reads beyond the range it was given: a chunk whose data would reach past
// that range is reported as torn, and the walk ends with it.
#ifndef AVIFILE_RIFF_CHUNK_WALKER_H
#define AVIFILE_RIFF_CHUNK_WALKER_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace avifile {

// Bytes to read chunks from; every read is checked against the size.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    // False when [at, at + count) is not all there or cannot be read.
    virtual bool read(uint64_t at, void* out, size_t count) const = 0;
    bool read(uint64_t at, std::vector<uint8_t>& out, size_t count) const;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t at, void* out, size_t count) const override;
    using ByteSource::read;

private:
    std::span<const uint8_t> bytes_;
};

// A file open for reading, read with pread through the file-system seam.
class FileSource : public ByteSource {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t at, void* out, size_t count) const override;
    using ByteSource::read;

private:
    int fd_;
    uint64_t size_;
};

// One chunk as its header says.
struct Chunk {
    uint64_t at = 0;        // of its four-character id
    uint32_t id = 0;
    uint32_t size = 0;      // of its data
    uint32_t listType = 0;  // for 'RIFF' and 'LIST' (whatever their size says), else 0
    uint64_t dataAt() const { return at + 8; }
    uint64_t dataEnd() const { return at + 8 + uint64_t{size}; }
    // Where the next chunk begins: after the data and its pad byte.
    uint64_t end() const { return dataEnd() + (size & 1); }
    bool isList() const { return listType != 0; }
};

class ChunkWalker {
public:
    // Walks the chunks in [begin, end) of `source` (end is cut to its size).
    ChunkWalker(const ByteSource& source, uint64_t begin, uint64_t end);

    enum class Step {
        Whole,  // a chunk whose data lies inside the range
        Torn,   // a chunk header whose data reaches past the range; the last
        End,    // no room for another chunk header
    };
    // The next chunk (a torn one with its header and list type filled in).
    // A pad byte missing at the very end of the range does not tear the
    // chunk before it.
    Step next(Chunk& chunk);
    // Goes on inside a list instead of past it: its first chunk is next.
    // (Its size is not trusted; the range stays as it was.)
    void enter(const Chunk& list) { at_ = list.dataAt() + 4; }
    // Goes on from `position` (past what the last chunk said).
    void moveTo(uint64_t position) { at_ = position; }
    uint64_t position() const { return at_; }
    uint64_t end() const { return end_; }

private:
    const ByteSource& source_;
    uint64_t at_;
    uint64_t end_;
};

// The chunks directly inside a list's data (`data` begins with its type):
// each whole one; false when one is torn.
bool forEachChunk(std::span<const uint8_t> listData, std::vector<Chunk>& chunks);

}  // namespace avifile

#endif  // AVIFILE_RIFF_CHUNK_WALKER_H
