// What every byte sink does alike, and the in-memory sink used by tests.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "api/failure_reason.h"
#include "riff/byte_sink.h"
#include "riff/file_system.h"

namespace avifile {

bool readRange(const FileRange& range, void* out) {
    if (sys::readAll(range.fd, out, range.size, range.offset)) {
        return true;
    }
    setFailureReason(errno == 0 ? std::string("the file being copied from ended before the "
                                              "bytes it was to give")
                                : std::string("the file being copied from could not be read: ") +
                                      std::strerror(errno),
                     false);
    return false;
}

bool ByteSink::appendCopy(std::span<const ConstBuffer> head, const FileRange& range,
                          std::span<const ConstBuffer> tail) {
    std::vector<uint8_t> bytes(range.size);
    if (!readRange(range, bytes.data())) {
        return false;
    }
    std::vector<ConstBuffer> parts(head.begin(), head.end());
    parts.push_back(ConstBuffer{bytes.data(), bytes.size()});
    parts.insert(parts.end(), tail.begin(), tail.end());
    return append(parts);
}

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
