#include "codec_expectations.h"

#include "codecs/encoder.h"
#include "recording.h"

namespace {

// Video 1 makes a key frame of any frame in which no block stayed as it
// was, and Cinepak of any frame whose strips all came out intra-coded.
//
// PSNR floors (worst frame of the recording, default quality): a little
// under what each codec reached on the test picture. Measured at 64x48:
// Video 1 31.3 dB, Cinepak 35.1, Motion JPEG 35.7, MPEG-4 34.9, H.264 37.1;
// at 65x49: Motion JPEG 30.4, MPEG-4 30.1 (odd widths lose more in the
// 4:2:0 conversions on both sides, ffmpeg's own included).
const CodecExpectation kAll[] = {
    // code   ffprobe     bits extra  odd    intra  extra keys  floors
    {"MSVC", "msvideo1", 16, false, false, false, true, 30.0, 0.0},
    {"cvid", "cinepak", 24, false, false, false, true, 33.5, 0.0},
    {"FFV1", "ffv1", 24, true, true, true, false, 0.0, 0.0},
    {"HFYU", "huffyuv", 24, true, true, true, false, 0.0, 0.0},
    {"ULRG", "utvideo", 24, true, true, true, false, 0.0, 0.0},
    {"MPNG", "png", 24, false, true, true, false, 0.0, 0.0},
    {"ZMBV", "zmbv", 24, false, true, false, false, 0.0, 0.0},
    {"MJPG", "mjpeg", 24, false, true, true, false, 34.0, 29.0},
    {"XVID", "mpeg4", 24, false, true, false, false, 33.5, 28.5},
    {"H264", "h264", 24, false, false, false, false, 35.5, 0.0},
};

}  // namespace

std::vector<CodecExpectation> offeredCodecs() {
    std::vector<CodecExpectation> offered;
    for (const CodecExpectation& codec : kAll) {
        const auto* found = avifile::codecs::findCompressor(codec.code);
        if (found != nullptr && fourccText(found->fourcc) == codec.code) {
            offered.push_back(codec);
        }
    }
    return offered;
}
