// The row converters behind fillFrameRows. Each one interleaves `width`
// pixels of three 8-bit planes into one DIB row, blue, green, red per pixel:
// it writes exactly width * 3 bytes at `out` and reads exactly `width` bytes
// of each plane, so the row's filler and the bytes around it stay untouched.
#ifndef AVI_FRAME_ROWS_H
#define AVI_FRAME_ROWS_H

#include <cstdint>
#include <span>

#include "avi/avi_plugin.h"

// x86 builds (32- and 64-bit) with a compiler that can build single functions
// for a wider instruction set and ask the processor what it supports. A build
// may define AVI_FRAME_ROWS_X86 as 0 to keep to the portable loop.
#ifndef AVI_FRAME_ROWS_X86
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define AVI_FRAME_ROWS_X86 1
#else
#define AVI_FRAME_ROWS_X86 0
#endif
#endif

using RowConverter = void (*)(unsigned char* out, const unsigned char* red,
                              const unsigned char* green, const unsigned char* blue,
                              int32_t width);

// The per-pixel loop; runs on every processor.
void convertRowPortable(unsigned char* out, const unsigned char* red, const unsigned char* green,
                        const unsigned char* blue, int32_t width);

#if AVI_FRAME_ROWS_X86
// 16 pixels per step with byte shuffles (SSSE3).
void convertRowSsse3(unsigned char* out, const unsigned char* red, const unsigned char* green,
                     const unsigned char* blue, int32_t width);
// 32 pixels per step with 256-bit byte shuffles (AVX2).
void convertRowAvx2(unsigned char* out, const unsigned char* red, const unsigned char* green,
                    const unsigned char* blue, int32_t width);
#endif

struct RowConverterVariant {
    const char* name;
    bool (*isSupported)();  // whether this processor can run it
    RowConverter convert;
};

// Every converter built into this binary, fastest first; the last one is the
// portable loop, which every processor supports.
std::span<const RowConverterVariant> rowConverterVariants();

// The fastest converter that this processor supports, chosen at the first call.
RowConverter selectedRowConverter();

// fillFrameRows with a given converter for each row.
void fillFrameRowsWith(RowConverter convert, unsigned char* buffer, int32_t stride,
                       const MovieRecord* movie, const BandStack* frame);

#endif  // AVI_FRAME_ROWS_H
