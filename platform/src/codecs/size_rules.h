// Which frame sizes and rates each codec, and the readers of its streams,
// can hold; checked when a stream's format is set, so that a movie is never
// started that could not be played back. A refusal comes as the reason, in
// words for the user.
#ifndef AVIFILE_CODECS_SIZE_RULES_H
#define AVIFILE_CODECS_SIZE_RULES_H

#include <cstdint>
#include <string>

#include "codecs/codec_table.h"
#include "codecs/dib_layout.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

// Why players could not decode frames of this size, whatever the codec
// (their decoders refuse pictures beyond a limit on width x height); empty
// when they can.
std::string readerSizeRefusal(int64_t width, int64_t height);

// Why `profile` cannot hold frames of this size at rate / scale frames per
// second; empty when it can. Includes readerSizeRefusal.
std::string formatRefusal(const CodecProfile& profile, int64_t width, int64_t height, uint32_t rate,
                          uint32_t scale);

// Reads the uncompressed input format that `profile` is to compress into
// `layout`. False, with the reason set as the failed call's, when the
// encoder cannot take it or the codec cannot hold frames of its size.
bool acceptInputFormat(const CodecProfile& profile, const EncoderSettings& settings,
                       const BITMAPINFOHEADER& input, DibLayout& layout);

// The codec's name as a sentence names it ("Motion JPEG").
const char* codecName(CodecKind kind);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_SIZE_RULES_H
