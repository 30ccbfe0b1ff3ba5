// Whether a compressed sample is a key frame, read from the sample itself:
// for a file whose index was never written, so that a rebuilt index marks
// the samples a reader can start decoding at.
#ifndef AVIFILE_CODECS_KEY_FRAME_PROBE_H
#define AVIFILE_CODECS_KEY_FRAME_PROBE_H

#include <cstdint>
#include <span>

namespace avifile::codecs {

// What the probe needs of the stream: its format's compression code and
// picture size (biCompression, biWidth, biHeight).
struct ProbedFormat {
    uint32_t compression = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// True when the sample stands on its own. Uncompressed frames and those of
// intra-only codecs always do; for the others the sample's own header says
// so (Cinepak's strips, ZMBV's flag, the picture type of MPEG-4 Part 2, an
// IDR unit in H.264, a Video 1 frame without skipped blocks). An empty
// sample (a dropped frame) and a codec this layer does not know are not.
bool sampleIsKeyFrame(const ProbedFormat& format, std::span<const uint8_t> sample);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_KEY_FRAME_PROBE_H
