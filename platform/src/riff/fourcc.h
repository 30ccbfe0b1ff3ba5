// Four-character codes as the 32-bit little-endian values found in files.
#ifndef AVIFILE_RIFF_FOURCC_H
#define AVIFILE_RIFF_FOURCC_H

#include <cstdint>

namespace avifile {

constexpr uint32_t fourcc(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

}  // namespace avifile

#endif  // AVIFILE_RIFF_FOURCC_H
