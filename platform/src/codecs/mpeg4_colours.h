// MPEG-4 Part 2 streams can describe their colours in the visual object
// header that starts each key frame (video_signal_type: video format,
// range, and the colour primaries, transfer and matrix), and the decoders
// of FFmpeg and GStreamer honour it; the libavcodec encoder leaves it out.
// This puts it in.
#ifndef AVIFILE_CODECS_MPEG4_COLOURS_H
#define AVIFILE_CODECS_MPEG4_COLOURS_H

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/yuv_colours.h"

namespace avifile::codecs {

// `sample` with a colour description for `colours` in each visual object
// header that has none, into `out`. False, with `out` empty, when the
// sample has no such header to change (a delta frame, or a header that
// already describes its colours): the sample is then used as it is.
bool describeMpeg4Colours(std::span<const uint8_t> sample, const YuvColours& colours,
                          std::vector<uint8_t>& out);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_MPEG4_COLOURS_H
