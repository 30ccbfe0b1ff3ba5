// Little-endian integers into and out of byte arrays, as RIFF stores them.
#ifndef AVIFILE_RIFF_LITTLE_ENDIAN_H
#define AVIFILE_RIFF_LITTLE_ENDIAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace avifile {

inline void storeLE32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

// Appends little-endian fields to a growing byte array.
class LEWriter {
public:
    explicit LEWriter(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t value) { out_.push_back(value); }
    void u16(uint16_t value) {
        out_.push_back(static_cast<uint8_t>(value));
        out_.push_back(static_cast<uint8_t>(value >> 8));
    }
    void i16(int16_t value) { u16(static_cast<uint16_t>(value)); }
    void u32(uint32_t value) {
        u16(static_cast<uint16_t>(value));
        u16(static_cast<uint16_t>(value >> 16));
    }
    void u64(uint64_t value) {
        u32(static_cast<uint32_t>(value));
        u32(static_cast<uint32_t>(value >> 32));
    }
    void bytes(const void* data, size_t size) {
        const auto* begin = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), begin, begin + size);
    }
    void zeros(size_t count) { out_.insert(out_.end(), count, 0); }

private:
    std::vector<uint8_t>& out_;
};

}  // namespace avifile

#endif  // AVIFILE_RIFF_LITTLE_ENDIAN_H
