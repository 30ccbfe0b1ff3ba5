// The records that the writer builds from the file's layout: the header
// block at the start of the file, and the index chunks that close a RIFF.
//
// The header block is the 'RIFF' header, the 'hdrl' list with the main,
// stream and extension headers, a 'JUNK' chunk holding a copy of what the
// list said when the writer began, and the first movi list's header. Its
// size is fixed once the streams and their formats are, so it is rewritten
// in place with new counts while recording; the copy is written once, in
// sectors of its own, so that a power cut that leaves garbage in a sector
// being rewritten never takes the streams' formats with it.
//
// A RIFF closes with a standard index per stream ('ixNN', inside the movi
// list) and, for the first RIFF, the 'idx1' after it.
#ifndef AVIFILE_CONTAINER_HEADER_AND_INDEXES_H
#define AVIFILE_CONTAINER_HEADER_AND_INDEXES_H

#include <cstdint>
#include <vector>

#include "container/file_layout.h"
#include "riff/chunk_writer.h"

namespace avifile {

// The chunk code of a stream's samples, from its type and format: 'NNdb'
// for an uncompressed DIB, 'NNdc' for other video, 'NNwb' for audio.
uint32_t sampleChunkId(int streamNumber, const AVISTREAMINFOA& info,
                       const std::vector<uint8_t>& format);

// 'ixNN'.
uint32_t standardIndexId(int streamNumber);

// Whether the stream's samples are uncompressed frames ('NNdb').
bool holdsUncompressedFrames(const StreamState& stream);

// Whether each sample of the stream is followed by a frame check
// (avi_records.h): the uncompressed frames of a file whose header
// has a recording mark. Their bytes alone cannot tell a whole frame from a
// torn one; a compressed frame that a power cut tore is caught by its
// decoder, and has none.
bool carriesFrameChecks(const FileLayout& layout, const StreamState& stream);

// Bytes that a frame check takes in the file.
constexpr uint64_t kFrameCheckExtent = 8 + kFrameCheckBytes;

// A stream's settings as a stream header read back gives them (its length
// is a count, not a setting, and stays 0).
AVISTREAMINFOA streamInfo(const StreamHeader& header);

// A run of bytes of the block.
struct ByteRange {
    size_t offset = 0;
    size_t size = 0;
};

// Where the records that change as samples are written lie in the block:
// the offsets of the data of the main header, of each stream header and of
// the extension header; and the header copy, which never changes.
struct HeaderLayout {
    size_t mainHeader = 0;
    std::vector<size_t> streamHeaders;
    size_t extensionHeader = 0;
    ByteRange copy;       // the copy itself (empty: the block has none)
    ByteRange copyChunk;  // the 'JUNK' chunk that holds it, whole sectors from its data on
};

// Builds the block from the layout, and where its records lie. While the
// first RIFF is still being filled, its size and the movi list's size are
// 0, which a reader that scans takes as "to the end of the file". False when
// a part does not fit its size field.
bool buildHeaderBlock(const FileLayout& layout, std::vector<uint8_t>& block,
                      HeaderLayout* headerLayout = nullptr);

// The header copy (FileLayout::headerCopy): its tag, the super index
// capacity, the digest of what follows (frameDigest, so that a copy that a
// power cut tore is never taken for one), then the 'hdrl' list as the
// writer began it, before anything was counted, with room for one super
// index entry.
bool buildHeaderCopy(const FileLayout& layout, std::vector<uint8_t>& copy);

// Puts the main, stream and extension headers of now (frame counts,
// buffer sizes, data rate) into the block at their places, and lists the
// bytes that changed, neighbouring runs merged, so that the block on disk
// is brought up to date with a few small writes.
void refreshCountRecords(const FileLayout& layout, const HeaderLayout& headerLayout,
                         std::vector<uint8_t>& block, std::vector<ByteRange>& changed);

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

#endif  // AVIFILE_CONTAINER_HEADER_AND_INDEXES_H
