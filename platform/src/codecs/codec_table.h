// The table of compressors this layer knows: codes, names, and which
// libavcodec encoder runs each. Internal to the codecs folder.
#ifndef AVIFILE_CODECS_CODEC_TABLE_H
#define AVIFILE_CODECS_CODEC_TABLE_H

#include <cstdint>
#include <span>

namespace avifile::codecs {

// Which family of settings a codec takes (see codec_settings.cpp).
enum class CodecKind {
    FullFrames,
    Video1,
    Cinepak,
    Ffv1,
    HuffYuv,
    UtVideo,
    Png,
    Zmbv,
    MotionJpeg,
    Mpeg4Part2,
    H264,
};

struct CodecProfile {
    CodecKind kind;
    uint32_t fourcc;            // written as biCompression and fccHandler
    uint32_t otherFourcc;       // another code readers use for it, or 0
    const char* shortName;      // what VFW_COMPRESSOR and --codec take
    const char* otherName;      // a second accepted name, or null
    const char* description;    // for people choosing a compressor
    bool lossless;
    const char* encoderName;    // libavcodec encoder; null for Full Frames
};

// Every known compressor, Full Frames first, whether installed or not.
std::span<const CodecProfile> codecTable();

// The known compressor with this code (either of its codes, compared as
// written first, then ignoring letter case); zero is Full Frames. Null when
// none matches or its encoder is not installed.
const CodecProfile* findProfile(uint32_t fourcc);

// The same, whether its encoder is installed or not.
const CodecProfile* findKnownProfile(uint32_t fourcc);

// Whether the installed libraries have the profile's encoder.
bool isInstalled(const CodecProfile& profile);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CODEC_TABLE_H
