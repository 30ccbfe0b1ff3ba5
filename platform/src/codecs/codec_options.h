// How each codec is set up for a stream: the pixel format it is given and
// the libavcodec options (by name, as the ffmpeg command line takes them)
// that carry the stream's quality, key-frame interval and data rate.
#ifndef AVIFILE_CODECS_CODEC_OPTIONS_H
#define AVIFILE_CODECS_CODEC_OPTIONS_H

#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "codecs/codec_table.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

struct CodecOption {
    std::string name;
    std::string value;
};

// The pixel format the codec is given for DIB frames of this depth.
AVPixelFormat encoderPixelFormat(CodecKind kind, int inputBits);

// The options, applied to the codec context and the encoder's own options,
// for frames of width x height (0 x 0: of any size of 32 x 32 or more). What
// depends on the size (Cinepak's strips, FFV1's slices) is chosen so that
// the frame can hold it.
std::vector<CodecOption> encoderOptions(const CodecProfile& profile,
                                        const EncoderSettings& settings, int width = 0,
                                        int height = 0);

// Cinepak's key-frame interval: the one asked for, or 12 frames.
uint32_t cinepakKeyInterval(const EncoderSettings& settings);

// Video 1's key-frame interval: the one asked for, or its default of 26.
uint32_t video1KeyInterval(const EncoderSettings& settings);

// ZMBV's key-frame interval: the one asked for, or the library encoder's
// default of 25.
uint32_t zmbvKeyInterval(const EncoderSettings& settings);

// The quality every frame carries (AVFrame::quality, in lambda units), for
// codecs that read it per frame; 0 when the codec does not.
int frameQuality(const CodecProfile& profile, const EncoderSettings& settings);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CODEC_OPTIONS_H
