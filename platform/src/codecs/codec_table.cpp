#include "codecs/codec_table.h"

#include <cctype>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "avifile.h"
#include "codecs/block_codec.h"

namespace avifile::codecs {
namespace {

constexpr uint32_t code(const char (&text)[5]) {
    return mmioFOURCC(text[0], text[1], text[2], text[3]);
}

// MPEG-4 Part 2 is labelled 'XVID': the code that players and hardware
// decoders recognise for this bitstream (ffmpeg-based readers also know
// 'FMP4', which is accepted as another name for it).
constexpr CodecProfile kTable[] = {
    {CodecKind::FullFrames, code("DIB "), 0, "full", "dib",
     "Full Frames (uncompressed)", true, nullptr},
    {CodecKind::Video1, code("MSVC"), code("CRAM"), "msvc", "video1",
     "Microsoft Video 1 (16-bit colour)", false, "msvideo1"},
    {CodecKind::Cinepak, code("cvid"), 0, "cinepak", nullptr,
     "Cinepak Codec", false, "cinepak"},
    {CodecKind::Ffv1, code("FFV1"), 0, "ffv1", nullptr,
     "FFV1 (lossless)", true, "ffv1"},
    {CodecKind::HuffYuv, code("HFYU"), 0, "huffyuv", nullptr,
     "HuffYUV (lossless RGB)", true, "huffyuv"},
    {CodecKind::UtVideo, code("ULRG"), 0, "utvideo", nullptr,
     "Ut Video (lossless RGB)", true, "utvideo"},
    {CodecKind::Png, code("MPNG"), 0, "png", nullptr,
     "PNG frames (lossless)", true, "png"},
    {CodecKind::Zmbv, code("ZMBV"), 0, "zmbv", nullptr,
     "Zip Motion Blocks Video (lossless)", true, "zmbv"},
    {CodecKind::MotionJpeg, code("MJPG"), 0, "mjpeg", nullptr,
     "Motion JPEG", false, "mjpeg"},
    {CodecKind::Mpeg4Part2, code("XVID"), code("FMP4"), "mpeg4", "fmp4",
     "MPEG-4 Part 2 (Xvid compatible)", false, "mpeg4"},
    {CodecKind::H264, code("H264"), 0, "h264", "x264",
     "H.264 / AVC", false, "libx264"},
};

uint32_t lowerCase(uint32_t fourcc) {
    uint32_t lowered = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const auto c = static_cast<unsigned char>((fourcc >> shift) & 0xFF);
        lowered |= static_cast<uint32_t>(std::tolower(c)) << shift;
    }
    return lowered;
}

const CodecProfile* match(uint32_t fourcc, bool ignoreCase, bool installedOnly = true) {
    for (const CodecProfile& profile : kTable) {
        for (uint32_t candidate : {profile.fourcc, profile.otherFourcc}) {
            if (candidate == 0) {
                continue;
            }
            const bool same = ignoreCase ? lowerCase(candidate) == lowerCase(fourcc)
                                         : candidate == fourcc;
            if (same) {
                return !installedOnly || isInstalled(profile) ? &profile : nullptr;
            }
        }
    }
    return nullptr;
}

}  // namespace

std::span<const CodecProfile> codecTable() { return kTable; }

bool isInstalled(const CodecProfile& profile) {
    // Video 1, Cinepak and ZMBV have encoders of this layer's own.
    const bool own = (profile.kind == CodecKind::Video1 || profile.kind == CodecKind::Cinepak ||
                      profile.kind == CodecKind::Zmbv) &&
                     !libraryBlockEncodersWanted();
    return own || profile.encoderName == nullptr ||
           avcodec_find_encoder_by_name(profile.encoderName) != nullptr;
}

const CodecProfile* findProfile(uint32_t fourcc) {
    if (fourcc == 0) {
        return &kTable[0];
    }
    if (const CodecProfile* exact = match(fourcc, false)) {
        return exact;
    }
    return match(fourcc, true);
}

const CodecProfile* findKnownProfile(uint32_t fourcc) {
    if (const CodecProfile* exact = match(fourcc, false, false)) {
        return exact;
    }
    return match(fourcc, true, false);
}

}  // namespace avifile::codecs
