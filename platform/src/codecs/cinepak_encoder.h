// The layer's own Cinepak encoder.
//
// A Cinepak frame is a 10-byte header and strips of the picture, each with
// its own two codebooks of up to 256 entries: V1 entries (four luma samples
// and one chroma pair) paint a whole 4x4 block in 2x2 squares, V4 entries
// paint a 2x2 square each, four to a block. Each block is one V1 entry,
// four V4 entries, or (between key frames) left as it was. The encoder
// trains each strip's codebooks with a variance split and a few k-means
// passes on a sample of the strip's vectors, chooses per block by
// distortion plus lambda times bits, and compresses the strips on all
// cores; between key frames a strip keeps its codebooks or sends new ones,
// whichever costs less.
#ifndef AVIFILE_CODECS_CINEPAK_ENCODER_H
#define AVIFILE_CODECS_CINEPAK_ENCODER_H

#include <memory>

#include "codecs/codec_table.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

std::unique_ptr<Encoder> makeCinepakEncoder(const CodecProfile& profile,
                                            const EncoderSettings& settings);

// How many strips a frame of this size is cut into: strips of at most about
// 5000 blocks (which also keeps each under 64 KiB, as older readers count
// strip sizes in 16 bits), a multiple of the cores where each strip keeps 4000 blocks
// or more, at most 31 and at most one per row of blocks.
int cinepakStrips(int width, int height);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CINEPAK_ENCODER_H
