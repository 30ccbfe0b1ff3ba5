// Compressors behind the compressing stream: which are on offer, and the
// encoder that turns uncompressed DIB frames into one compressed sample each.
#ifndef AVIFILE_CODECS_ENCODER_H
#define AVIFILE_CODECS_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "avifile.h"
#include "avifile_hooks.h"

namespace avifile::codecs {

// The compressors that the installed libraries can run, Full Frames first.
const std::vector<CompressorDescription>& compressors();

// The compressor named by its four-character code (as text, "MJPG") or its
// short name, case-insensitively; null when none matches.
const CompressorDescription* findCompressor(std::string_view nameOrCode);

// The compressor with this code (a zero code is Full Frames); null if none.
const CompressorDescription* findCompressor(uint32_t fourcc);

struct EncoderSettings {
    uint32_t fourcc = 0;
    uint32_t quality = ICQUALITY_DEFAULT;  // 0..10000, or ICQUALITY_DEFAULT
    uint32_t keyFrameEvery = 0;            // 0: the codec's own choice
    uint32_t bytesPerSecond = 0;           // 0: no data rate asked for
    uint32_t rate = 15;                    // frame rate as rate / scale
    uint32_t scale = 1;
};

// One compressed sample, valid until the next call of the encoder.
struct EncodedSample {
    const void* data = nullptr;
    size_t size = 0;
    bool keyFrame = false;
};

class Encoder {
public:
    virtual ~Encoder() = default;

    // Prepares for frames in the given uncompressed format (a BI_RGB
    // BITMAPINFOHEADER). Fills `compressedFormat` with the stream's format:
    // a BITMAPINFOHEADER carrying the codec's code, followed by the codec's
    // extra data where it has some. AVIERR_BADFORMAT when the codec cannot
    // compress frames of this size and depth.
    virtual HRESULT open(const BITMAPINFOHEADER& input, std::vector<uint8_t>& compressedFormat) = 0;

    // Compresses one frame of exactly the input format's image size; the
    // result comes out at once (no delay between frames).
    virtual HRESULT encode(const void* frame, size_t bytes, EncodedSample& out) = 0;
};

// An encoder for a compressor other than Full Frames: AVIERR_NOCOMPRESSOR
// for an unknown code, another error when the codec cannot be started.
HRESULT createEncoder(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder);

// The codec libraries report on standard error by default; this layer
// reports through its results instead, so their messages are switched off
// before the first call into them. AVIFILE_CODEC_LOG (any value) lets them
// through, for finding out why a codec refused.
void quietCodecLibraries();

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_ENCODER_H
