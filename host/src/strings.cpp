// String copies on the host heap.
#include <cstring>

#include "host/host_services.h"

extern "C" char* jstr_Duplicate(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const size_t length = std::strlen(text);
    if (length >= UINT32_MAX) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(jmsc_HeapMalloc(static_cast<uint32_t>(length + 1)));
    if (copy != nullptr) {
        std::memcpy(copy, text, length + 1);
    }
    return copy;
}
