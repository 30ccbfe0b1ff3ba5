// The layer's own Video 1 (16-bit colour) encoder.
//
// A Video 1 frame is a run of codes for the 4x4 blocks of the picture, from
// the bottom-left block rightwards and upwards, with no header. Each block
// is skipped (left as in the frame before), one colour, two colours chosen
// pixel by pixel with a 16-bit mask, or four 2x2 quadrants of two colours
// each; colours are RGB555. The encoder picks per block what costs least in
// distortion plus lambda times bits, compresses bands of block rows on all
// cores, and ends the frame with a zero code, as other writers do.
#ifndef AVIFILE_CODECS_VIDEO1_ENCODER_H
#define AVIFILE_CODECS_VIDEO1_ENCODER_H

#include <memory>

#include "codecs/codec_table.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

std::unique_ptr<Encoder> makeVideo1Encoder(const CodecProfile& profile,
                                           const EncoderSettings& settings);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_VIDEO1_ENCODER_H
