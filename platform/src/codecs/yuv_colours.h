// The colours of a codec's YUV samples: the matrix that turns the caller's
// RGB into YUV, the range the samples use, and the primaries and transfer
// curve of that RGB. The conversion into the codec's picture uses the
// matrix and range, and the stream says so wherever its format has room.
#ifndef AVIFILE_CODECS_YUV_COLOURS_H
#define AVIFILE_CODECS_YUV_COLOURS_H

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "codecs/codec_table.h"

struct AVCodecContext;

namespace avifile::codecs {

struct YuvColours {
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;  // unspecified: an RGB codec
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;

    bool yuv() const { return matrix != AVCOL_SPC_UNSPECIFIED; }
};

// The colours `kind` stores frames of `height` rows in; all unspecified for
// codecs that store RGB.
YuvColours yuvColours(CodecKind kind, int height);

// Puts `colours` into the codec context, from which encoders that describe
// their stream's colours (libx264's VUI) take them.
void describeColours(AVCodecContext& codec, const YuvColours& colours);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_YUV_COLOURS_H
