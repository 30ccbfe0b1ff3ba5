// Works out the base name straight from the path's length, so no working
// buffer limits how long an output path may be.
#include "base_name.h"

#include <cstdint>
#include <cstring>

#include "host/host_services.h"

char* duplicateBaseName(const char* path) {
    const char* lastDot = std::strrchr(path, '.');
    const size_t length = lastDot != nullptr ? static_cast<size_t>(lastDot - path) : std::strlen(path);
    if (length >= UINT32_MAX) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(jmsc_HeapMalloc(static_cast<uint32_t>(length + 1)));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, path, length);
    copy[length] = '\0';
    return copy;
}
