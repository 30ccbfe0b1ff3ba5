// Row converters for x86 processors with byte shuffles. Each function is built
// for its own instruction set (the rest of the plug-in stays at the baseline)
// and is only called once the processor has said that it supports it.
//
// Sixteen pixels of the three planes make 48 output bytes, three 16-byte
// chunks. Chunk c takes from each plane the bytes that land in it: a shuffle
// of the plane's 16 bytes with a control that zeroes every other position;
// OR-ing the three shuffles gives the chunk.
#include "frame_rows.h"

#if AVI_FRAME_ROWS_X86

#include <immintrin.h>

#include <array>
#include <cstdint>

namespace {

constexpr int kChannels = 3;      // blue, green, red in each output pixel
constexpr int kChunkBytes = 16;   // one 128-bit register
constexpr uint8_t kZero = 0x80;   // shuffle control: write a zero byte

enum Channel { kBlue = 0, kGreen = 1, kRed = 2 };

// Shuffle control that moves the bytes of plane `channel` into output chunk
// `chunk` (0, 1 or 2) of a 16-pixel group.
constexpr std::array<uint8_t, kChunkBytes> chunkControl(int chunk, int channel) {
    std::array<uint8_t, kChunkBytes> control{};
    for (int i = 0; i < kChunkBytes; ++i) {
        const int outputByte = chunk * kChunkBytes + i;
        control[i] = outputByte % kChannels == channel ? static_cast<uint8_t>(outputByte / kChannels)
                                                       : kZero;
    }
    return control;
}

// The same control in both halves of a 256-bit register, chunk `low` in the
// lower half and chunk `high` in the upper one.
constexpr std::array<uint8_t, 2 * kChunkBytes> laneControl(int low, int high, int channel) {
    std::array<uint8_t, 2 * kChunkBytes> control{};
    const auto lower = chunkControl(low, channel);
    const auto upper = chunkControl(high, channel);
    for (int i = 0; i < kChunkBytes; ++i) {
        control[i] = lower[i];
        control[kChunkBytes + i] = upper[i];
    }
    return control;
}

struct ChunkControls {
    alignas(16) std::array<uint8_t, kChunkBytes> byChunk[3][kChannels];
};

constexpr ChunkControls kChunkControls = {{
    {chunkControl(0, kBlue), chunkControl(0, kGreen), chunkControl(0, kRed)},
    {chunkControl(1, kBlue), chunkControl(1, kGreen), chunkControl(1, kRed)},
    {chunkControl(2, kBlue), chunkControl(2, kGreen), chunkControl(2, kRed)},
}};

// The 32-pixel step of AVX2 writes six chunks as three 256-bit stores: chunks
// (0, 1), (2, 3) and (4, 5). Chunks 3 to 5 are chunks 0 to 2 of the second
// 16 pixels, so the halves need the controls of chunks (0, 1), (2, 0) and (1, 2).
struct LaneControls {
    alignas(32) std::array<uint8_t, 2 * kChunkBytes> byStore[3][kChannels];
};

constexpr LaneControls kLaneControls = {{
    {laneControl(0, 1, kBlue), laneControl(0, 1, kGreen), laneControl(0, 1, kRed)},
    {laneControl(2, 0, kBlue), laneControl(2, 0, kGreen), laneControl(2, 0, kRed)},
    {laneControl(1, 2, kBlue), laneControl(1, 2, kGreen), laneControl(1, 2, kRed)},
}};

// ---- SSSE3: 16 pixels per step ----------------------------------------------

struct Controls128 {
    __m128i chunk[3][kChannels];
};

__attribute__((target("ssse3"))) inline Controls128 loadControls128() {
    Controls128 c;
    for (int chunk = 0; chunk < 3; ++chunk) {
        for (int channel = 0; channel < kChannels; ++channel) {
            c.chunk[chunk][channel] = _mm_load_si128(
                reinterpret_cast<const __m128i*>(kChunkControls.byChunk[chunk][channel].data()));
        }
    }
    return c;
}

__attribute__((target("ssse3"))) inline void interleave16(unsigned char* out,
                                                          const unsigned char* red,
                                                          const unsigned char* green,
                                                          const unsigned char* blue,
                                                          const Controls128& c) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blue));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(green));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(red));
    for (int chunk = 0; chunk < 3; ++chunk) {
        const __m128i bytes = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(b, c.chunk[chunk][kBlue]),
                         _mm_shuffle_epi8(g, c.chunk[chunk][kGreen])),
            _mm_shuffle_epi8(r, c.chunk[chunk][kRed]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + chunk * kChunkBytes), bytes);
    }
}

// ---- AVX2: 32 pixels per step -----------------------------------------------

struct Controls256 {
    __m256i store[3][kChannels];
};

__attribute__((target("avx2"))) inline Controls256 loadControls256() {
    Controls256 c;
    for (int store = 0; store < 3; ++store) {
        for (int channel = 0; channel < kChannels; ++channel) {
            c.store[store][channel] = _mm256_load_si256(
                reinterpret_cast<const __m256i*>(kLaneControls.byStore[store][channel].data()));
        }
    }
    return c;
}

// The three source registers of one plane for the three stores: its first 16
// bytes in both halves, all 32 bytes, its last 16 bytes in both halves.
struct PlaneSources {
    __m256i first;
    __m256i both;
    __m256i second;
};

__attribute__((target("avx2"))) inline PlaneSources loadPlane32(const unsigned char* plane) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + kChunkBytes));
    return {_mm256_broadcastsi128_si256(low), _mm256_set_m128i(high, low),
            _mm256_broadcastsi128_si256(high)};
}

__attribute__((target("avx2"))) inline __m256i mergeStore(const __m256i& b, const __m256i& g,
                                                          const __m256i& r, const __m256i* control) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, control[kBlue]),
                                           _mm256_shuffle_epi8(g, control[kGreen])),
                           _mm256_shuffle_epi8(r, control[kRed]));
}

__attribute__((target("avx2"))) inline void interleave32(unsigned char* out,
                                                         const unsigned char* red,
                                                         const unsigned char* green,
                                                         const unsigned char* blue,
                                                         const Controls256& c) {
    const PlaneSources b = loadPlane32(blue);
    const PlaneSources g = loadPlane32(green);
    const PlaneSources r = loadPlane32(red);
    auto* dst = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(dst + 0, mergeStore(b.first, g.first, r.first, c.store[0]));
    _mm256_storeu_si256(dst + 1, mergeStore(b.both, g.both, r.both, c.store[1]));
    _mm256_storeu_si256(dst + 2, mergeStore(b.second, g.second, r.second, c.store[2]));
}

}  // namespace

// A row narrower than one step goes to the portable loop. Otherwise the last
// step is moved back so that it ends exactly at the row's last pixel: it
// rewrites some pixels of the step before with the same bytes, and neither
// reads nor writes past the row.

__attribute__((target("ssse3"))) void convertRowSsse3(unsigned char* out, const unsigned char* red,
                                                      const unsigned char* green,
                                                      const unsigned char* blue, int32_t width) {
    constexpr int32_t kStep = 16;
    if (width < kStep) {
        convertRowPortable(out, red, green, blue, width);
        return;
    }
    const Controls128 controls = loadControls128();
    int32_t x = 0;
    for (; x + kStep <= width; x += kStep) {
        interleave16(out + 3 * x, red + x, green + x, blue + x, controls);
    }
    if (x < width) {
        x = width - kStep;
        interleave16(out + 3 * x, red + x, green + x, blue + x, controls);
    }
}

__attribute__((target("avx2"))) void convertRowAvx2(unsigned char* out, const unsigned char* red,
                                                    const unsigned char* green,
                                                    const unsigned char* blue, int32_t width) {
    constexpr int32_t kStep = 32;
    if (width < kStep) {
        convertRowSsse3(out, red, green, blue, width);
        return;
    }
    const Controls256 controls = loadControls256();
    int32_t x = 0;
    for (; x + kStep <= width; x += kStep) {
        interleave32(out + 3 * x, red + x, green + x, blue + x, controls);
    }
    if (x < width) {
        x = width - kStep;
        interleave32(out + 3 * x, red + x, green + x, blue + x, controls);
    }
}

#endif  // AVI_FRAME_ROWS_X86
