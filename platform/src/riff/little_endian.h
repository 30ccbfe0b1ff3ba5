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

// Reads little-endian fields from a byte array in order. Reading past its
// end gives zeros and marks the reader short, so a record is parsed field by
// field and checked once.
class LEReader {
public:
    LEReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool whole() const { return !short_; }
    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    uint64_t u64() {
        const uint64_t low = u32();
        return low | (uint64_t{u32()} << 32);
    }
    void skip(size_t count) {
        if (count > size_ - at_) {
            short_ = true;
            at_ = size_;
            return;
        }
        at_ += count;
    }

private:
    uint64_t take(size_t count) {
        if (count > size_ - at_) {
            short_ = true;
            at_ = size_;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) {
            value |= uint64_t{data_[at_ + i]} << (8 * i);
        }
        at_ += count;
        return value;
    }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool short_ = false;
};

}  // namespace avifile

#endif  // AVIFILE_RIFF_LITTLE_ENDIAN_H
