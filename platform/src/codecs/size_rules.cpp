#include "codecs/size_rules.h"

#include <climits>
#include <numeric>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "api/failure_reason.h"
#include "codecs/encoder.h"

namespace avifile::codecs {
namespace {

std::string sizeText(int64_t width, int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

const char* codecName(CodecKind kind) {
    switch (kind) {
        case CodecKind::FullFrames:
            return "Full Frames";
        case CodecKind::Video1:
            return "Video 1";
        case CodecKind::Cinepak:
            return "Cinepak";
        case CodecKind::Ffv1:
            return "FFV1";
        case CodecKind::HuffYuv:
            return "HuffYUV";
        case CodecKind::UtVideo:
            return "Ut Video";
        case CodecKind::Png:
            return "PNG";
        case CodecKind::Zmbv:
            return "ZMBV";
        case CodecKind::MotionJpeg:
            return "Motion JPEG";
        case CodecKind::Mpeg4Part2:
            return "MPEG-4 Part 2";
        case CodecKind::H264:
            return "H.264";
    }
    return "the codec";
}

std::string readerSizeRefusal(int64_t width, int64_t height) {
    // The decoders check every picture size this way and refuse what fails.
    quietCodecLibraries();
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX ||
        av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) < 0) {
        return "frames of " + sizeText(width, height) +
               " pixels are larger than players can decode (at most about 268 million pixels "
               "with a margin of 128 on each side)";
    }
    return {};
}

std::string formatRefusal(const CodecProfile& profile, int64_t width, int64_t height, uint32_t rate,
                          uint32_t scale) {
    if (std::string reason = readerSizeRefusal(width, height); !reason.empty()) {
        return reason;
    }
    const std::string name = codecName(profile.kind);
    switch (profile.kind) {
        case CodecKind::Video1:
        case CodecKind::Cinepak:
            // Both code the picture in blocks of 4x4 pixels and no partial ones.
            if (width % 4 != 0 || height % 4 != 0) {
                return name + " needs a width and height that are multiples of 4 (not " +
                       sizeText(width, height) + ")";
            }
            break;
        case CodecKind::H264:
            // Its chroma has half the rows and columns of the picture.
            if (width % 2 != 0 || height % 2 != 0) {
                return name + " needs an even width and height (not " + sizeText(width, height) + ")";
            }
            break;
        case CodecKind::UtVideo:
            // Its decoder fails on planes of two or three samples.
            if (width * height == 2 || width * height == 3) {
                return name + " cannot store frames of only 2 or 3 pixels (not " +
                       sizeText(width, height) + ")";
            }
            break;
        case CodecKind::Mpeg4Part2: {
            // The stream header stores width and height in 13 bits.
            if (width > 8191 || height > 8191) {
                return name + " stores a width and height of at most 8191 pixels (not " +
                       sizeText(width, height) + ")";
            }
            // The stream's time base counts at most 65535 steps a second.
            const uint32_t divisor = std::gcd(rate, scale);
            if (rate != 0 && scale != 0 && rate / divisor > 65535) {
                return scale == 1 ? name + " cannot store a rate above 65535 frames per second"
                                  : name + " cannot store a rate of " + std::to_string(rate) + "/" +
                                        std::to_string(scale) +
                                        " frames per second (its clock has at most 65535 steps "
                                        "a second)";
            }
            break;
        }
        default:
            break;
    }
    return {};
}

bool acceptInputFormat(const CodecProfile& profile, const EncoderSettings& settings,
                       const BITMAPINFOHEADER& input, DibLayout& layout) {
    if (!readDibLayout(input, layout)) {
        const int64_t height = input.biHeight < 0 ? -int64_t{input.biHeight} : input.biHeight;
        std::string reason = readerSizeRefusal(input.biWidth, height);
        if (reason.empty()) {
            reason = std::string(codecName(profile.kind)) +
                     " takes uncompressed frames of 24 or 32 bits a pixel, up to " +
                     std::to_string(kLargestDibSide) + " pixels wide and high";
        }
        setFailureReason(std::move(reason));
        return false;
    }
    std::string reason =
        formatRefusal(profile, layout.width, layout.height, settings.rate, settings.scale);
    if (!reason.empty()) {
        setFailureReason(std::move(reason));
        return false;
    }
    return true;
}

}  // namespace avifile::codecs
