#include "codecs/key_frame_probe.h"

#include "avifile.h"
#include "codecs/codec_table.h"

namespace avifile::codecs {
namespace {

uint32_t bigEndian16(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 8) | bytes[1];
}

// A frame header of 10 bytes, then strips whose 12-byte headers start with
// their kind (0x1000 intra, 0x1100 inter) and their size, header included.
bool cinepakKeyFrame(std::span<const uint8_t> sample) {
    constexpr size_t kFrameHeader = 10;
    constexpr size_t kStripHeader = 12;
    if (sample.size() < kFrameHeader) {
        return false;
    }
    const uint32_t strips = bigEndian16(sample.data() + 8);
    size_t at = kFrameHeader;
    for (uint32_t strip = 0; strip < strips; ++strip) {
        if (sample.size() - at < kStripHeader) {
            return false;
        }
        const uint32_t kind = bigEndian16(sample.data() + at);
        const uint32_t size = bigEndian16(sample.data() + at + 2);
        if (kind != 0x1000 || size < kStripHeader || size > sample.size() - at) {
            return false;
        }
        at += size;
    }
    return strips > 0;
}

// Each 4x4 block, left to right and bottom to top, begins with a 16-bit
// code: 0x84xx-0x87xx skips blocks (kept from the frame before); below
// 0x8000 two colours follow (or eight, when the first has its top bit set);
// any other code is the block's one colour. A frame that covers every block
// without skipping any is whole.
bool video1KeyFrame(const ProbedFormat& format, std::span<const uint8_t> sample) {
    if (format.width <= 0 || format.height == 0) {
        return false;
    }
    const int64_t rows = format.height < 0 ? -int64_t{format.height} : format.height;
    int64_t blocks = (int64_t{format.width} / 4) * (rows / 4);
    size_t at = 0;
    while (blocks > 0) {
        if (sample.size() - at < 2) {
            return false;
        }
        const uint8_t high = sample[at + 1];
        at += 2;
        if ((high & 0xFC) == 0x84) {
            return false;
        }
        if (high < 0x80) {
            if (sample.size() - at < 4) {
                return false;
            }
            const bool eightColours = (sample[at + 1] & 0x80) != 0;
            const size_t colourBytes = eightColours ? 16 : 4;
            if (sample.size() - at < colourBytes) {
                return false;
            }
            at += colourBytes;
        }
        --blocks;
    }
    return true;
}

// The picture type of the first video object plane: two bits after its
// start code 00 00 01 B6, 0 for an intra plane.
bool mpeg4KeyFrame(std::span<const uint8_t> sample) {
    for (size_t i = 0; i + 4 < sample.size(); ++i) {
        if (sample[i] == 0 && sample[i + 1] == 0 && sample[i + 2] == 1 && sample[i + 3] == 0xB6) {
            return (sample[i + 4] >> 6) == 0;
        }
    }
    return false;
}

// An IDR picture: a unit of type 5 after a start code 00 00 01.
bool h264KeyFrame(std::span<const uint8_t> sample) {
    for (size_t i = 0; i + 3 < sample.size(); ++i) {
        if (sample[i] == 0 && sample[i + 1] == 0 && sample[i + 2] == 1) {
            if ((sample[i + 3] & 0x1F) == 5) {
                return true;
            }
            i += 2;
        }
    }
    return false;
}

}  // namespace

bool sampleIsKeyFrame(const ProbedFormat& format, std::span<const uint8_t> sample) {
    if (format.compression == BI_RGB) {
        return true;
    }
    if (sample.empty()) {
        return false;
    }
    const CodecProfile* profile = findKnownProfile(format.compression);
    if (profile == nullptr) {
        return false;
    }
    switch (profile->kind) {
        case CodecKind::FullFrames:
        case CodecKind::Ffv1:
        case CodecKind::HuffYuv:
        case CodecKind::UtVideo:
        case CodecKind::Png:
        case CodecKind::MotionJpeg:
            return true;
        case CodecKind::Zmbv:
            return (sample[0] & 1) != 0;
        case CodecKind::Cinepak:
            return cinepakKeyFrame(sample);
        case CodecKind::Video1:
            return video1KeyFrame(format, sample);
        case CodecKind::Mpeg4Part2:
            return mpeg4KeyFrame(sample);
        case CodecKind::H264:
            return h264KeyFrame(sample);
    }
    return false;
}

}  // namespace avifile::codecs
