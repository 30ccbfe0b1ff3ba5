// The 32-bit FNV-1a hash, used as the checksum of a frame's bytes.
#ifndef WINDOWS_FNV1A_H
#define WINDOWS_FNV1A_H

#include <cstddef>
#include <cstdint>

inline uint32_t fnv1a32(const unsigned char* bytes, size_t count) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
    return hash;
}

#endif  // WINDOWS_FNV1A_H
