// The layer's own ZMBV (Zip Motion Blocks Video) encoder, lossless.
//
// A ZMBV frame is a flags byte (bit 0: key frame), on key frames a header
// (version 0.1, compression 1 for zlib, pixel format 8 for 32-bit BGR0,
// block width and height), then the frame's data as the next part of one
// zlib stream, which starts over at each key frame and is flushed to a byte
// boundary at the end of every frame. A key frame's data is its pixels, top
// row first; an inter frame's is a motion vector for each block of the
// picture, left to right and top to bottom (two bytes: dx * 2 plus a flag,
// dy * 2; the block at (x, y) comes from (x + dx, y + dy) in the frame
// before), padded to four bytes, then for each flagged block its pixels
// XORed with the ones its vector points at.
//
// The encoder tries the zero vector and the vectors of the block to the
// left and of the same block in the last frame, and searches a few steps
// around the best of them only where none matches exactly. Block rows are
// searched on all cores, and the frame's data is deflated on all cores in
// pieces of a fixed size, each a run of non-final deflate blocks that sees
// the 32 KiB before it as the decoder's inflater does, so the pieces joined
// are one zlib stream. The pieces do not depend on the thread count: the
// stream is the same for the same input with any number of threads.
#ifndef AVIFILE_CODECS_ZMBV_ENCODER_H
#define AVIFILE_CODECS_ZMBV_ENCODER_H

#include <memory>

#include "codecs/codec_table.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

std::unique_ptr<Encoder> makeZmbvEncoder(const CodecProfile& profile,
                                         const EncoderSettings& settings);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_ZMBV_ENCODER_H
