// Host heap over the system allocator. Each block carries a small header with
// its size so that the live-bytes counter can be kept exact.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include "host/toolkit.h"

namespace {

// Keeps the caller's block aligned as malloc's own blocks are.
constexpr size_t kHeaderBytes = alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16;

std::atomic<uint64_t> liveBlocks{0};
std::atomic<uint64_t> liveBytes{0};
std::atomic<int64_t> failCountdown{-1};

bool injectedFailure() {
    int64_t left = failCountdown.load();
    while (left >= 0) {
        if (failCountdown.compare_exchange_weak(left, left - 1)) {
            return left == 0;
        }
    }
    return false;
}

}  // namespace

extern "C" {

void* jmsc_HeapMalloc(uint32_t byteCount) {
    // On 32-bit systems the header could make the request wrap around.
    if (byteCount > SIZE_MAX - kHeaderBytes || injectedFailure()) {
        return nullptr;
    }
    auto* raw = static_cast<unsigned char*>(std::malloc(kHeaderBytes + byteCount));
    if (raw == nullptr) {
        return nullptr;
    }
    const uint64_t size = byteCount;
    std::memcpy(raw, &size, sizeof size);
    liveBlocks.fetch_add(1);
    liveBytes.fetch_add(size);
    return raw + kHeaderBytes;
}

void jmsc_HeapFree(void* block) {
    if (block == nullptr) {
        return;
    }
    unsigned char* raw = static_cast<unsigned char*>(block) - kHeaderBytes;
    uint64_t size = 0;
    std::memcpy(&size, raw, sizeof size);
    liveBlocks.fetch_sub(1);
    liveBytes.fetch_sub(size);
    std::free(raw);
}

uint64_t jmsc_HeapLiveBlocks(void) { return liveBlocks.load(); }

uint64_t jmsc_HeapLiveBytes(void) { return liveBytes.load(); }

void jmsc_HeapFailAfter(int64_t successes) { failCountdown.store(successes < 0 ? -1 : successes); }

}  // extern "C"
