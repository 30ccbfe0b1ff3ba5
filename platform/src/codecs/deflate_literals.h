// Deflate blocks that code every byte as a literal, without looking for
// repeats. For data in which deflate finds few, such as the XOR of blocks
// that changed in small, uneven ways, they come out about as small as
// zlib's fastest modes make them, in a fraction of the time (see
// zmbv_encoder.cpp). The blocks are not final and the bytes end on a byte
// boundary, as after zlib's sync flush, so that they can go anywhere
// between other pieces of one deflate stream.
#ifndef AVIFILE_CODECS_DEFLATE_LITERALS_H
#define AVIFILE_CODECS_DEFLATE_LITERALS_H

#include <cstdint>
#include <span>
#include <vector>

namespace avifile::codecs {

// Appends `data` to `out` as deflate blocks of literals (dynamic Huffman
// codes, one set for every 64 KiB), then an empty stored block.
void appendLiteralBlocks(std::span<const uint8_t> data, std::vector<uint8_t>& out);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_DEFLATE_LITERALS_H
