#include "codecs/yuv_colours.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace avifile::codecs {
namespace {

// Players that find no colour description in a stream pick the matrix by
// the frame size: some take BT.601 for every size, others BT.601 up to 576
// rows (standard definition) and BT.709 above.
constexpr int kLargestStandardDefinitionRows = 576;

}  // namespace

YuvColours yuvColours(CodecKind kind, int height) {
    YuvColours colours;
    // The frames are sRGB, as computer pictures are: BT.709 primaries and
    // the sRGB curve.
    colours.primaries = AVCOL_PRI_BT709;
    colours.transfer = AVCOL_TRC_IEC61966_2_1;
    switch (kind) {
        case CodecKind::MotionJpeg:
            // JFIF: full-range BT.601, what every JPEG reader assumes; the
            // stream has no other way to say anything else.
            colours.matrix = AVCOL_SPC_BT470BG;
            colours.range = AVCOL_RANGE_JPEG;
            return colours;
        case CodecKind::Mpeg4Part2:
            // The stream says BT.601 in its visual object header (see
            // mpeg4_colours.h), and the decoders of this format that read
            // no such header take BT.601 at every size as well.
            colours.matrix = AVCOL_SPC_SMPTE170M;
            colours.range = AVCOL_RANGE_MPEG;
            return colours;
        case CodecKind::H264:
            // The stream says which (in its VUI); the choice follows the
            // size rule, so that players that ignore the VUI and go by the
            // size show it right too.
            colours.matrix = height > kLargestStandardDefinitionRows ? AVCOL_SPC_BT709
                                                                      : AVCOL_SPC_SMPTE170M;
            colours.range = AVCOL_RANGE_MPEG;
            return colours;
        default:
            return YuvColours{};  // RGB in the stream
    }
}

void describeColours(AVCodecContext& codec, const YuvColours& colours) {
    if (!colours.yuv()) {
        return;
    }
    codec.colorspace = colours.matrix;
    codec.color_range = colours.range;
    codec.color_primaries = colours.primaries;
    codec.color_trc = colours.transfer;
}

}  // namespace avifile::codecs
