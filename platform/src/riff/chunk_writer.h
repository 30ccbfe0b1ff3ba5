// Writes RIFF chunks to a byte sink. A chunk is begun (its header goes out
// with a placeholder size) and ended (the data is padded to an even length
// and the real size is written into the header), so nested lists always
// carry the sizes of what they hold. Positions are 64-bit; a size that does
// not fit the 32-bit field is an error, never silently cut.
#ifndef AVIFILE_RIFF_CHUNK_WRITER_H
#define AVIFILE_RIFF_CHUNK_WRITER_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "riff/byte_sink.h"

namespace avifile {

enum class ChunkStatus {
    ok,
    writeFailed,  // the sink refused the bytes
    tooLarge,     // the size does not fit the chunk's 32-bit size field
};

// The largest value that a chunk's size field holds.
constexpr uint64_t kMaxChunkSize = UINT32_MAX;

// An open chunk: where its header starts.
struct ChunkToken {
    uint64_t position = 0;  // of the four-character id
};

// Bytes that a chunk of `dataBytes` takes in the file: header, data, pad.
constexpr uint64_t chunkExtent(uint64_t dataBytes) {
    return 8 + dataBytes + (dataBytes & 1);
}

class ChunkWriter {
public:
    explicit ChunkWriter(ByteSink& sink) : sink_(sink) {}

    // Appends a chunk header with `placeholderSize` in its size field.
    ChunkStatus begin(uint32_t id, ChunkToken& token, uint32_t placeholderSize = 0);

    // Appends a list header ('RIFF' or 'LIST', its size, its type).
    ChunkStatus beginList(uint32_t id, uint32_t listType, ChunkToken& token,
                          uint32_t placeholderSize = 0);

    // Pads the chunk to an even length and writes its size. Nothing is
    // written when the size would not fit.
    ChunkStatus end(const ChunkToken& token);

    // Writes into the header the size the chunk has now, without padding;
    // `end` is still to be called for a chunk that grows further.
    ChunkStatus patchSize(const ChunkToken& token);

    // Writes `dataBytes` into the header of a chunk whose end is not the
    // sink's end (a list followed by more chunks of its parent).
    ChunkStatus setSize(const ChunkToken& token, uint64_t dataBytes);

    // Appends a whole chunk in one call: header, the parts, a pad byte when
    // the data has an odd length. The parts are handed to the sink as they
    // are, never copied.
    ChunkStatus appendChunk(uint32_t id, std::span<const ConstBuffer> parts);
    ChunkStatus appendChunk(uint32_t id, const void* data, size_t bytes);
    // The same, followed in that one call by a second, small chunk `thenId`
    // holding `then`: both chunks reach the sink, or neither.
    ChunkStatus appendChunk(uint32_t id, std::span<const ConstBuffer> parts, uint32_t thenId,
                            std::span<const uint8_t> then);
    // The same with the data copied from another file (ByteSink::appendCopy),
    // and the second chunk when `thenId` is not 0.
    ChunkStatus appendChunk(uint32_t id, const FileRange& data, uint32_t thenId = 0,
                            std::span<const uint8_t> then = {});

    ByteSink& sink() { return sink_; }

private:
    ByteSink& sink_;
};

}  // namespace avifile

#endif  // AVIFILE_RIFF_CHUNK_WRITER_H
