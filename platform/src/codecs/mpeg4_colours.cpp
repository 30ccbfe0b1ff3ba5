#include "codecs/mpeg4_colours.h"

namespace avifile::codecs {
namespace {

constexpr uint8_t kVisualObjectStart = 0xB5;
constexpr uint8_t kVopStart = 0xB6;         // the picture itself: no headers after it
constexpr unsigned kVideoObjectType = 1;    // visual_object_type of video
constexpr unsigned kVideoFormatUnspecified = 5;
constexpr uint8_t kTransferUnspecified = 2;

// Where the next start code prefix (00 00 01) begins at or after `from`;
// the size when there is none.
size_t nextStartCode(std::span<const uint8_t> data, size_t from) {
    for (size_t i = from; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return data.size();
}

class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> data) : data_(data) {}
    bool read(int count, unsigned& value) {
        value = 0;
        for (int i = 0; i < count; ++i) {
            if (position_ >= data_.size() * 8) {
                return false;
            }
            const unsigned bit = (data_[position_ / 8] >> (7 - position_ % 8)) & 1U;
            value = (value << 1) | bit;
            ++position_;
        }
        return true;
    }
    size_t position() const { return position_; }

private:
    std::span<const uint8_t> data_;
    size_t position_ = 0;
};

class BitWriter {
public:
    void write(int count, unsigned value) {
        for (int i = count - 1; i >= 0; --i) {
            if (used_ % 8 == 0) {
                bytes_.push_back(0);
            }
            bytes_.back() |= static_cast<uint8_t>(((value >> i) & 1U) << (7 - used_ % 8));
            ++used_;
        }
    }
    // next_start_code(): a zero bit, then ones up to the byte boundary.
    void stuff() {
        write(1, 0);
        while (used_ % 8 != 0) {
            write(1, 1);
        }
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t used_ = 0;
};

// Whether the bits of `header` from `position` to its end are exactly the
// stuffing that ends a header: a zero bit, then ones up to the byte boundary.
bool onlyStuffingFrom(std::span<const uint8_t> header, size_t position) {
    BitReader reader(header);
    unsigned skipped = 0;
    for (size_t i = 0; i < position; ++i) {
        reader.read(1, skipped);
    }
    const size_t total = header.size() * 8;
    if (total - position == 0 || total - position > 8) {
        return false;
    }
    unsigned bit = 0;
    if (!reader.read(1, bit) || bit != 0) {
        return false;
    }
    while (reader.position() < total) {
        if (!reader.read(1, bit) || bit != 1) {
            return false;
        }
    }
    return true;
}

// The visual object header's body (after its start code) with a colour
// description; empty when `body` is not a video object's header without one.
std::vector<uint8_t> describedHeader(std::span<const uint8_t> body, const YuvColours& colours) {
    BitReader reader(body);
    BitWriter writer;
    unsigned identified = 0;
    unsigned identity = 0;
    unsigned type = 0;
    unsigned signalType = 0;
    if (!reader.read(1, identified) || (identified != 0 && !reader.read(7, identity)) ||
        !reader.read(4, type) || type != kVideoObjectType || !reader.read(1, signalType) ||
        signalType != 0 || !onlyStuffingFrom(body, reader.position())) {
        return {};
    }
    writer.write(1, identified);
    if (identified != 0) {
        writer.write(7, identity);  // verid and priority
    }
    writer.write(4, type);
    writer.write(1, 1);  // video_signal_type
    writer.write(3, kVideoFormatUnspecified);
    writer.write(1, colours.range == AVCOL_RANGE_JPEG ? 1 : 0);
    writer.write(1, 1);  // colour_description
    writer.write(8, colours.primaries);
    // This format's table of transfer curves ends before the sRGB curve.
    const bool namedCurve =
        colours.transfer >= AVCOL_TRC_BT709 && colours.transfer <= AVCOL_TRC_LINEAR;
    writer.write(8, namedCurve ? static_cast<unsigned>(colours.transfer) : kTransferUnspecified);
    writer.write(8, colours.matrix);
    writer.stuff();
    return writer.bytes();
}

}  // namespace

bool describeMpeg4Colours(std::span<const uint8_t> sample, const YuvColours& colours,
                          std::vector<uint8_t>& out) {
    out.clear();
    if (!colours.yuv()) {
        return false;
    }
    bool changed = false;
    size_t copied = 0;
    for (size_t start = nextStartCode(sample, 0); start + 3 < sample.size();) {
        const uint8_t code = sample[start + 3];
        if (code == kVopStart) {
            break;
        }
        const size_t bodyStart = start + 4;
        const size_t next = nextStartCode(sample, bodyStart);
        if (code == kVisualObjectStart) {
            const std::vector<uint8_t> header =
                describedHeader(sample.subspan(bodyStart, next - bodyStart), colours);
            if (!header.empty()) {
                out.insert(out.end(), sample.begin() + static_cast<ptrdiff_t>(copied),
                           sample.begin() + static_cast<ptrdiff_t>(bodyStart));
                out.insert(out.end(), header.begin(), header.end());
                copied = next;
                changed = true;
            }
        }
        start = next;
    }
    if (!changed) {
        out.clear();
        return false;
    }
    out.insert(out.end(), sample.begin() + static_cast<ptrdiff_t>(copied), sample.end());
    return true;
}

}  // namespace avifile::codecs
