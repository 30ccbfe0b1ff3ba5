// The pixel loop of the frame conversion: rows are handed one at a time to the
// fastest row converter that the processor supports.
#include <cstddef>

#include "frame_conversion.h"
#include "frame_rows.h"
#include "host_records.h"

#if AVI_FRAME_ROWS_X86
#include "cpu_features_x86.h"
#endif

void convertRowPortable(unsigned char* out, const unsigned char* red, const unsigned char* green,
                        const unsigned char* blue, int32_t width) {
    unsigned char* __restrict dst = out;
    const unsigned char* __restrict r = red;
    const unsigned char* __restrict g = green;
    const unsigned char* __restrict b = blue;
    for (int32_t x = 0; x < width; ++x) {
        dst[3 * x + 0] = b[x];
        dst[3 * x + 1] = g[x];
        dst[3 * x + 2] = r[x];
    }
}

namespace {

bool alwaysSupported() { return true; }

constexpr RowConverterVariant kVariants[] = {
#if AVI_FRAME_ROWS_X86
    {"avx2", cpuRunsAvx2, convertRowAvx2},
    {"ssse3", cpuRunsSsse3, convertRowSsse3},
#endif
    {"portable", alwaysSupported, convertRowPortable},
};

RowConverter chooseRowConverter() {
    for (const RowConverterVariant& variant : kVariants) {
        if (variant.isSupported()) {
            return variant.convert;
        }
    }
    return convertRowPortable;
}

}  // namespace

std::span<const RowConverterVariant> rowConverterVariants() { return kVariants; }

RowConverter selectedRowConverter() {
    // Chosen on first use rather than at load: the plug-in does no work when
    // it is loaded.
    static const RowConverter chosen = chooseRowConverter();
    return chosen;
}

void fillFrameRowsWith(RowConverter convert, unsigned char* buffer, int32_t stride,
                       const MovieRecord* movie, const BandStack* frame) {
    const unsigned char* red = frame->bands[kRedBand]->data;
    const unsigned char* green = frame->bands[kGreenBand]->data;
    const unsigned char* blue = frame->bands[kBlueBand]->data;
    const int32_t width = movie->width;
    const int32_t height = movie->height;
    if (width <= 0) {
        return;
    }
    // Source row i is destination row height - 1 - i: the top row goes last.
    for (int32_t i = 0; i < height; ++i) {
        unsigned char* out =
            buffer + kBitmapHeaderBytes + static_cast<ptrdiff_t>(height - 1 - i) * stride;
        convert(out, red, green, blue, width);
        red += width;
        green += width;
        blue += width;
    }
}

void fillFrameRows(unsigned char* buffer, int32_t stride, const MovieRecord* movie,
                   const BandStack* frame) {
    fillFrameRowsWith(selectedRowConverter(), buffer, stride, movie, frame);
}
