// The index chunks that close a RIFF: a stream's standard index ('ixNN',
// inside the movi list) and the first RIFF's 'idx1' (after it).
#ifndef AVIFILE_CONTAINER_INDEX_CHUNKS_H
#define AVIFILE_CONTAINER_INDEX_CHUNKS_H

#include <cstdint>
#include <vector>

#include "container/writer_state.h"
#include "riff/chunk_writer.h"

namespace avifile {

// Appends the standard index of the stream's samples in the RIFF being
// filled, with offsets from `baseOffset`. `entry` receives what the super
// index says of it, its offset counted from `writerStart` (the file
// position of the writer's sink start).
ChunkStatus appendStandardIndex(ChunkWriter& writer, const StreamState& stream,
                                uint64_t baseOffset, uint64_t writerStart,
                                SuperIndexEntry& entry);

// Appends 'idx1' with the entries of the first RIFF.
ChunkStatus appendFirstIndex(ChunkWriter& writer, const std::vector<FirstIndexEntry>& entries);

// Bytes that a standard index of `entries` samples takes in the file.
uint64_t standardIndexExtent(size_t entries);

// Bytes that an 'idx1' of `entries` samples takes in the file.
uint64_t firstIndexExtent(size_t entries);

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_INDEX_CHUNKS_H
