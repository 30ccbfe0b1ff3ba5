// The header block at the start of an AVI file: the 'RIFF' header, the
// 'hdrl' list with the main, stream and extension headers, and the first
// movi list's header. Its size is fixed once the streams and their formats
// are, so it can be rewritten in place with new counts while recording.
#ifndef AVIFILE_CONTAINER_HEADER_BLOCK_H
#define AVIFILE_CONTAINER_HEADER_BLOCK_H

#include <cstdint>
#include <vector>

#include "container/writer_state.h"

namespace avifile {

// Where the records that change as samples are written lie in the block:
// the offsets of the data of the main header, of each stream header and of
// the extension header.
struct HeaderLayout {
    size_t mainHeader = 0;
    std::vector<size_t> streamHeaders;
    size_t extensionHeader = 0;
};

// Builds the block from the state, and where its records lie. While the
// first RIFF is still being filled, its size and the movi list's size are
// 0, which a reader that scans takes as "to the end of the file". False when
// a part does not fit its size field.
bool buildHeaderBlock(const WriterState& state, std::vector<uint8_t>& block,
                      HeaderLayout* layout = nullptr);

// A run of bytes of the block.
struct ByteRange {
    size_t offset = 0;
    size_t size = 0;
};

// Puts the main, stream and extension headers of now (frame counts,
// buffer sizes, data rate) into the block at their places, and lists the
// bytes that changed, neighbouring runs merged, so that the block on disk
// is brought up to date with a few small writes.
void refreshCountRecords(const WriterState& state, const HeaderLayout& layout,
                         std::vector<uint8_t>& block, std::vector<ByteRange>& changed);

// The chunk code of a stream's samples, from its type and format: 'NNdb'
// for an uncompressed DIB, 'NNdc' for other video, 'NNwb' for audio.
uint32_t sampleChunkId(int streamNumber, const AVISTREAMINFOA& info,
                       const std::vector<uint8_t>& format);

// 'ixNN'.
uint32_t standardIndexId(int streamNumber);

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_HEADER_BLOCK_H
