#include "codecs/codec_options.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavutil/avutil.h>
}

namespace avifile::codecs {
namespace {

// The quality asked for, 0..10000, or -1 for the codec's default.
int askedQuality(const EncoderSettings& settings) {
    if (settings.quality == ICQUALITY_DEFAULT) {
        return -1;
    }
    return static_cast<int>(std::min<uint32_t>(settings.quality, ICQUALITY_HIGH));
}

// Quantiser scale 1..31 of the MPEG-style codecs. The scale is geometric
// in the quality (31 at 0, 1 at 10000), because picture quality goes with
// the logarithm of the quantiser: equal steps of quality then look like
// equal steps on screen. 7500 gives about 2.4.
int quantiserFor(int quality, int byDefault) {
    if (quality < 0) {
        return byDefault;
    }
    const double scale = std::pow(31.0, 1.0 - quality / 10000.0);
    return std::clamp(static_cast<int>(std::lround(scale)), 1, 31);
}

// H.264 constant rate factor: 51 (worst) at quality 0, 0 at 10000.
double rateFactorFor(int quality) {
    if (quality < 0) {
        return 20.0;
    }
    return 51.0 * (1.0 - quality / 10000.0);
}

// Cinepak's rate-distortion weight: its own default at 7500, halved for
// every 2500 more quality and doubled for every 2500 less.
int cinepakLambdaFor(int quality) {
    const int byDefault = 2 * FF_LAMBDA_SCALE;
    if (quality < 0) {
        return byDefault;
    }
    return static_cast<int>(std::lround(byDefault * std::pow(2.0, (7500 - quality) / 2500.0)));
}

void add(std::vector<CodecOption>& options, const char* name, const std::string& value) {
    options.push_back({name, value});
}

void addQuantiser(std::vector<CodecOption>& options, int quantiser) {
    add(options, "flags", "+qscale");
    add(options, "global_quality", std::to_string(quantiser * FF_QP2LAMBDA));
    if (quantiser < 2) {
        add(options, "qmin", "1");
    }
}

// The rate in bits a second that the encoders take: H.264's counts in
// whole kilobits and refuses to open at none, and the buffer size is an
// int, so rates beyond both ends are held to the nearest one they take.
std::string bitsPerSecond(const EncoderSettings& settings) {
    const uint64_t bits = static_cast<uint64_t>(settings.bytesPerSecond) * 8;
    return std::to_string(std::clamp<uint64_t>(bits, 1000, INT_MAX));
}

// A data rate held to within about a second's worth of data, rather than
// the libraries' default tolerance of megabits.
void addDataRate(std::vector<CodecOption>& options, const EncoderSettings& settings) {
    add(options, "b", bitsPerSecond(settings));
    add(options, "maxrate", bitsPerSecond(settings));
    add(options, "bufsize", bitsPerSecond(settings));
}

void addKeyFrameInterval(std::vector<CodecOption>& options, const EncoderSettings& settings,
                         const char* name) {
    if (settings.keyFrameEvery != 0) {
        add(options, name, std::to_string(settings.keyFrameEvery));
    }
}

}  // namespace

AVPixelFormat encoderPixelFormat(CodecKind kind, int inputBits) {
    switch (kind) {
        case CodecKind::Video1:
            return AV_PIX_FMT_RGB555LE;
        case CodecKind::Cinepak:
        case CodecKind::Png:
        case CodecKind::HuffYuv:
            // HuffYUV would take 32-bit frames as they are, but as 'bgra':
            // the unused fourth byte would become an alpha channel that
            // readers honour.
            return AV_PIX_FMT_RGB24;
        case CodecKind::Ffv1:
        case CodecKind::Zmbv:
            return AV_PIX_FMT_BGR0;
        case CodecKind::UtVideo:
            return AV_PIX_FMT_GBRP;
        case CodecKind::MotionJpeg:
            return AV_PIX_FMT_YUVJ420P;
        case CodecKind::Mpeg4Part2:
        case CodecKind::H264:
            return AV_PIX_FMT_YUV420P;
        case CodecKind::FullFrames:
            break;
    }
    return inputBits == 32 ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGR24;
}

std::vector<CodecOption> encoderOptions(const CodecProfile& profile,
                                        const EncoderSettings& settings, int width, int height) {
    const bool anySize = width == 0 && height == 0;
    std::vector<CodecOption> options;
    // Each frame is compressed within the call that hands it over: slice
    // threads share one frame's work, frame threads would hold frames back.
    add(options, "threads", "auto");
    add(options, "thread_type", "slice");

    const int quality = askedQuality(settings);
    const bool dataRate = settings.bytesPerSecond != 0;
    switch (profile.kind) {
        case CodecKind::Video1:
            // This encoder takes its key-frame interval from keyint_min, and
            // makes a key frame when more than that many delta frames came
            // since the last: N frames from key to key is N - 1. (It also
            // makes one of any frame in which no block stayed as it was.)
            add(options, "keyint_min", std::to_string(video1KeyInterval(settings) - 1));
            break;
        case CodecKind::Cinepak: {
            // The encoder's defaults try every strip count from 1 to 3 and up
            // to two extra codebook passes per strip for each frame: about 2
            // frames/s at 640x480. Three fixed strips and no extra passes
            // run 2.2 times as fast, at the same quality (+0.2 dB on a test
            // picture) for 2.5% more bytes; three strips keep the stream
            // readable by the oldest decoders. (Frames tall enough are also
            // split into bands compressed at once: see cinepak_bands.h.) A
            // strip is at least one row of 4x4 blocks: frames of 4 or 8 rows
            // have one or two (the encoder crashes when asked for more).
            add(options, "max_extra_cb_iterations", "0");
            const int strips = anySize ? 3 : std::clamp(height / 4, 1, 3);
            add(options, "min_strips", std::to_string(strips));
            add(options, "max_strips", std::to_string(strips));
            // Its key-frame interval is keyint_min, limited to "g".
            const std::string interval = std::to_string(cinepakKeyInterval(settings));
            add(options, "g", interval);
            add(options, "keyint_min", interval);
            add(options, "global_quality", std::to_string(cinepakLambdaFor(quality) + 1));
            break;
        }
        case CodecKind::Ffv1:
            // Version 3 with slices, so that slice threads share each frame;
            // every frame is a key frame (the codec is intra-only anyway and
            // needs no interval). Four slices split the frame in two both
            // ways; slices only a pixel or two across do not decode back to
            // the frame, and version 3 takes no fewer slices at such sizes.
            // Frames under 16 pixels either way are written as version 1,
            // which has no slices (nor needs threads for so few pixels).
            if (anySize || (width >= 16 && height >= 16)) {
                add(options, "level", "3");
                add(options, "slices", "4");
            } else {
                add(options, "level", "1");
            }
            add(options, "g", "1");
            break;
        case CodecKind::HuffYuv:
        case CodecKind::UtVideo:
        case CodecKind::Png:
            break;  // intra-only and lossless: nothing to choose
        case CodecKind::Zmbv:
            // This encoder takes its key-frame interval from keyint_min.
            addKeyFrameInterval(options, settings, "keyint_min");
            // Its motion search tries every vector within the range for
            // every block that changed: the default of 8 pixels is 289
            // comparisons a block, 4 pixels 81. On a moving test picture
            // that ran 2.3 times as fast for 0.1% more bytes.
            add(options, "me_range", "4");
            break;
        case CodecKind::MotionJpeg:
            if (dataRate) {
                addDataRate(options, settings);
            } else {
                addQuantiser(options, quantiserFor(quality, 3));
            }
            break;
        case CodecKind::Mpeg4Part2:
            add(options, "bf", "0");
            addKeyFrameInterval(options, settings, "g");
            if (dataRate) {
                addDataRate(options, settings);
            } else {
                addQuantiser(options, quantiserFor(quality, 3));
            }
            break;
        case CodecKind::H264:
            // No B-frames and no look-ahead: every frame comes out of the
            // call that hands it over. No scene-cut I-frames either: they
            // are not IDR frames, so the index could not call them key
            // frames while readers that parse the stream do; without them
            // the key frames are exactly the interval's IDR frames.
            add(options, "preset", "veryfast");
            add(options, "tune", "zerolatency");
            add(options, "bf", "0");
            add(options, "sc_threshold", "0");
            addKeyFrameInterval(options, settings, "g");
            if (dataRate) {
                addDataRate(options, settings);
            } else {
                char text[32];
                std::snprintf(text, sizeof text, "%.2f", rateFactorFor(quality));
                add(options, "crf", text);
            }
            break;
        case CodecKind::FullFrames:
            break;
    }
    return options;
}

uint32_t cinepakKeyInterval(const EncoderSettings& settings) {
    return settings.keyFrameEvery != 0 ? settings.keyFrameEvery : 12;
}

uint32_t video1KeyInterval(const EncoderSettings& settings) {
    // keyint_min's default of 25 gives 26 frames from key to key.
    return settings.keyFrameEvery != 0 ? settings.keyFrameEvery : 26;
}

uint32_t zmbvKeyInterval(const EncoderSettings& settings) {
    // keyint_min's default of 25 is the library encoder's interval.
    return settings.keyFrameEvery != 0 ? settings.keyFrameEvery : 25;
}

int frameQuality(const CodecProfile& profile, const EncoderSettings& settings) {
    const int quality = askedQuality(settings);
    switch (profile.kind) {
        case CodecKind::Cinepak:
            return cinepakLambdaFor(quality) + 1;  // the encoder subtracts one
        case CodecKind::MotionJpeg:
        case CodecKind::Mpeg4Part2:
            if (settings.bytesPerSecond != 0) {
                return 0;
            }
            return quantiserFor(quality, 3) * FF_QP2LAMBDA;
        default:
            return 0;
    }
}

}  // namespace avifile::codecs
