// The layouts of raw frames, and their spreading over the bands.
#include "raw_layout.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr RawFormat kFormats[] = {
    {"rgb24", RawLayout::Packed, 3, 0, 1, 2}, {"bgr24", RawLayout::Packed, 3, 2, 1, 0},
    {"rgba", RawLayout::Packed, 4, 0, 1, 2},  {"bgra", RawLayout::Packed, 4, 2, 1, 0},
    {"gbrp", RawLayout::Planar, 3, 0, 0, 0},  {"gray", RawLayout::Gray, 1, 0, 0, 0},
};

#if defined(__x86_64__) || defined(__i386__)
// Sixteen pixels at a time with byte shuffles: each output plane gathers its
// bytes from the Step input vectors that hold them. Returns the pixels done.
template <size_t Step>
__attribute__((target("ssse3"))) size_t spreadPackedSsse3(const uint8_t* in,
                                                          const size_t (&offsets)[3],
                                                          uint8_t* const (&planes)[3],
                                                          size_t pixels) {
    alignas(16) int8_t masks[3][Step][16];
    for (size_t c = 0; c < 3; ++c) {
        for (size_t v = 0; v < Step; ++v) {
            for (size_t p = 0; p < 16; ++p) {
                const size_t at = Step * p + offsets[c];
                masks[c][v][p] = at / 16 == v ? static_cast<int8_t>(at % 16) : int8_t{-128};
            }
        }
    }
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        __m128i vectors[Step];
        for (size_t v = 0; v < Step; ++v) {
            vectors[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i * Step + 16 * v));
        }
        for (size_t c = 0; c < 3; ++c) {
            __m128i gathered = _mm_setzero_si128();
            for (size_t v = 0; v < Step; ++v) {
                gathered = _mm_or_si128(
                    gathered, _mm_shuffle_epi8(vectors[v], _mm_load_si128(reinterpret_cast<const __m128i*>(
                                                               masks[c][v]))));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[c] + i), gathered);
        }
    }
    return i;
}
#endif

}  // namespace

void spreadPacked(const RawFormat& format, const uint8_t* in, uint8_t* const (&planes)[3],
                  size_t pixels) {
    const auto step = static_cast<size_t>(format.bytesPerPixel);
    const size_t offsets[3] = {static_cast<size_t>(format.redAt), static_cast<size_t>(format.greenAt),
                               static_cast<size_t>(format.blueAt)};
    size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        i = step == 3 ? spreadPackedSsse3<3>(in, offsets, planes, pixels)
                      : spreadPackedSsse3<4>(in, offsets, planes, pixels);
    }
#endif
    for (; i < pixels; ++i) {
        for (size_t c = 0; c < 3; ++c) {
            planes[c][i] = in[i * step + offsets[c]];
        }
    }
}

namespace {

// Points the planes of `frame` into one frame's bytes where they hold the
// planes: planar and grey layouts as they come, or red, green and blue
// planes one after another where a reader already spread packed input.
// Sizes the frame; false for packed input still to be spread.
bool lendPlanes(const RawFormat& format, const uint8_t* bytes, bool spread, int width,
                int height, PlanarFrame& frame) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (spread) {
        frame.lent[0] = bytes;
        frame.lent[1] = bytes + pixels;
        frame.lent[2] = bytes + 2 * pixels;
    } else if (format.layout == RawLayout::Gray) {
        frame.lent[0] = frame.lent[1] = frame.lent[2] = bytes;
    } else if (format.layout == RawLayout::Planar) {  // G, B and R planes
        frame.lent[0] = bytes + 2 * pixels;
        frame.lent[1] = bytes;
        frame.lent[2] = bytes + pixels;
    } else {
        return false;
    }
    frame.width = width;
    frame.height = height;
    return true;
}

}  // namespace

const RawFormat* findRawFormat(const std::string& name) {
    for (const RawFormat& format : kFormats) {
        if (name == format.name) {
            return &format;
        }
    }
    return nullptr;
}

bool isRawFormat(const std::string& format) { return findRawFormat(format) != nullptr; }

std::string rawFormatNames() {
    std::string names;
    for (const RawFormat& format : kFormats) {
        names += names.empty() ? "" : ", ";
        names += format.name;
    }
    return names;
}

size_t rawFrameBytes(const RawFormat& format, int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height) *
           static_cast<size_t>(format.bytesPerPixel);
}

void packRgb24(const PlanarFrame& frame, std::vector<uint8_t>& bytes) {
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    const uint8_t* red = frame.plane(0);
    const uint8_t* green = frame.plane(1);
    const uint8_t* blue = frame.plane(2);
    bytes.resize(3 * pixels);
    for (size_t i = 0; i < pixels; ++i) {
        bytes[3 * i] = red[i];
        bytes[3 * i + 1] = green[i];
        bytes[3 * i + 2] = blue[i];
    }
}

ReadStatus RawFrameSource::read(PlanarFrame& frame, std::string& error) {
    if (lending_) {  // the planes lent last time are given back
        lending_ = false;
        done();
    }
    if (limit_ >= 0 && index_ >= limit_) {
        return ReadStatus::End;
    }
    const size_t frameBytes = rawFrameBytes(format_, width_, height_);
    const Bytes bytes = readBytes(frameBytes);
    switch (bytes.outcome) {
        case Bytes::Outcome::Whole:
            break;
        case Bytes::Outcome::Interrupted:
            return ReadStatus::Interrupted;
        case Bytes::Outcome::Failed:
            error = "cannot read frame " + std::to_string(index_) + " from " + name_ +
                    (bytes.reason.empty() ? "" : ": " + bytes.reason);
            return ReadStatus::Failed;
        case Bytes::Outcome::EndOfInput:
            if (bytes.got == 0) {
                return ReadStatus::End;
            }
            error = name_ + " ended in the middle of frame " + std::to_string(index_) + ": " +
                    std::to_string(bytes.got) + " of its " + std::to_string(frameBytes) +
                    " bytes (" + format_.name + " at " + std::to_string(width_) + "x" +
                    std::to_string(height_) + ")";
            return ReadStatus::Failed;
    }
    // Planar and grey input already holds the planes, as does packed input
    // that the reader spread: they are lent, not copied. Other packed input
    // is spread over the frame's own.
    if (lendPlanes(format_, bytes.data, bytes.spread, width_, height_, frame)) {
        lending_ = true;
    } else {
        if (frame.width != width_ || frame.height != height_ || frame.lent[0] != nullptr) {
            frame.resize(width_, height_);
        }
        uint8_t* const planes[3] = {frame.red.data(), frame.green.data(), frame.blue.data()};
        spreadPacked(format_, bytes.data, planes, frame.red.size());
        done();
    }
    ++index_;
    return ReadStatus::Frame;
}
