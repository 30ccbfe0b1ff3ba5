// The in-memory byte sink used by tests.
#include <cstring>

#include "riff/byte_sink.h"

namespace avifile {

bool MemorySink::append(std::span<const ConstBuffer> parts) {
    uint64_t total = 0;
    for (const ConstBuffer& part : parts) {
        total += part.size;
    }
    if (total > capacity_ || bytes_.size() > capacity_ - total) {
        return false;
    }
    for (const ConstBuffer& part : parts) {
        const auto* begin = static_cast<const uint8_t*>(part.data);
        bytes_.insert(bytes_.end(), begin, begin + part.size);
    }
    return true;
}

bool MemorySink::writeAt(uint64_t position, const void* data, size_t size) {
    if (position > capacity_ || size > capacity_ - position) {
        return false;
    }
    if (position + size > bytes_.size()) {
        bytes_.resize(position + size);
    }
    std::memcpy(bytes_.data() + position, data, size);
    return true;
}

}  // namespace avifile
