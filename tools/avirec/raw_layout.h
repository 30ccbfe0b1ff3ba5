// The layouts of raw frames that the recorders read, and their spreading
// over the three 8-bit bands a frame is handed to the plug-in in.
#ifndef AVIREC_RAW_LAYOUT_H
#define AVIREC_RAW_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_source.h"

enum class RawLayout { Packed, Planar, Gray };

struct RawFormat {
    const char* name;
    RawLayout layout;
    int bytesPerPixel;
    int redAt;  // byte offsets within a packed pixel
    int greenAt;
    int blueAt;
};

// The format of that name, or null.
const RawFormat* findRawFormat(const std::string& name);

// Whether `format` names a raw layout, and the names of all of them.
bool isRawFormat(const std::string& format);
std::string rawFormatNames();

// The bytes of one frame of `format` at that size.
size_t rawFrameBytes(const RawFormat& format, int width, int height);

// Why a raw input that ended `got` bytes into frame `index` is refused.
std::string partialFrameMessage(const std::string& input, int index, size_t got,
                                const RawFormat& format, int width, int height);

// Fills the planes of `frame` (already of the frame's size) from one
// frame's bytes in `format`.
void spreadRawFrame(const RawFormat& format, const uint8_t* bytes, PlanarFrame& frame);

// The frame as rgb24: R, G and B of each pixel, top row first.
void packRgb24(const PlanarFrame& frame, std::vector<uint8_t>& bytes);

#endif  // AVIREC_RAW_LAYOUT_H
