// Host heap over the system allocator. Each block carries a small header with
// its size so that the live-bytes counter can be kept exact.
//
// In guard mode (jmsc_HeapGuard, or JHOST_HEAP_GUARD) each block gets pages
// of its own, and the page after its last byte is made inaccessible, so that
// a read or write past the end of a block faults at once instead of reading
// whatever follows it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define JHOST_HEAP_HAS_GUARD 1
#else
#define JHOST_HEAP_HAS_GUARD 0
#endif

#include "host/toolkit.h"

namespace {

// Keeps the caller's block aligned as malloc's own blocks are. The header
// holds the block's size and how it was allocated.
constexpr size_t kHeaderBytes = alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16;
constexpr uint64_t kFromMalloc = 0x6D616C6C6F63ULL;
constexpr uint64_t kGuarded = 0x6775617264ULL;
constexpr int kLargestGuardAlignment = 4096;

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

bool validGuardAlignment(long alignment) {
    return alignment >= 1 && alignment <= kLargestGuardAlignment &&
           (alignment & (alignment - 1)) == 0;
}

// The alignment of guarded blocks, 0 when guard mode is off. Read from the
// environment at the first allocation unless set before.
std::atomic<int> guardAlignment{-1};

int currentGuardAlignment() {
    int alignment = guardAlignment.load();
    if (alignment >= 0) {
        return alignment;
    }
    int fromEnvironment = 0;
    if (const char* text = std::getenv(JMSC_HEAP_GUARD_ENV); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (*end == '\0' && validGuardAlignment(value) && JHOST_HEAP_HAS_GUARD) {
            fromEnvironment = static_cast<int>(value);
        }
    }
    guardAlignment.compare_exchange_strong(alignment, fromEnvironment);
    return guardAlignment.load();
}

void writeHeader(unsigned char* block, uint64_t size, uint64_t kind) {
    std::memcpy(block - kHeaderBytes, &size, sizeof size);
    std::memcpy(block - kHeaderBytes + sizeof size, &kind, sizeof kind);
}

#if JHOST_HEAP_HAS_GUARD
size_t pageBytes() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// The block ends as close to the inaccessible page as its alignment lets it
// (at it, for an alignment of 1); its header lies just before it.
unsigned char* guardedMalloc(size_t byteCount, size_t alignment) {
    const size_t page = pageBytes();
    const size_t usable = (kHeaderBytes + byteCount + alignment - 1 + page - 1) / page * page;
    if (usable < byteCount) {
        return nullptr;
    }
    void* mapped = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    auto* base = static_cast<unsigned char*>(mapped);
    if (mprotect(base + usable, page, PROT_NONE) != 0) {
        munmap(mapped, usable + page);
        return nullptr;
    }
    const auto end = reinterpret_cast<uintptr_t>(base + usable);
    const uintptr_t start = (end - byteCount) & ~(static_cast<uintptr_t>(alignment) - 1);
    return base + (start - reinterpret_cast<uintptr_t>(base));
}

void guardedFree(unsigned char* block, uint64_t size) {
    const size_t page = pageBytes();
    const auto first = reinterpret_cast<uintptr_t>(block - kHeaderBytes) & ~(page - 1);
    const uintptr_t guard =
        (reinterpret_cast<uintptr_t>(block) + static_cast<uintptr_t>(size) + page - 1) & ~(page - 1);
    munmap(reinterpret_cast<void*>(first), guard + page - first);
}
#endif

}  // namespace

extern "C" {

void* jmsc_HeapMalloc(uint32_t byteCount) {
    // On 32-bit systems the header could make the request wrap around (on
    // 64-bit ones no 32-bit count can).
    if (uint64_t{byteCount} + kHeaderBytes + kLargestGuardAlignment > uint64_t{SIZE_MAX} ||
        injectedFailure()) {
        return nullptr;
    }
    const int alignment = currentGuardAlignment();
    unsigned char* block = nullptr;
    uint64_t kind = kFromMalloc;
#if JHOST_HEAP_HAS_GUARD
    if (alignment > 0) {
        block = guardedMalloc(byteCount, static_cast<size_t>(alignment));
        kind = kGuarded;
    }
#endif
    if (alignment <= 0) {
        auto* raw = static_cast<unsigned char*>(std::malloc(kHeaderBytes + byteCount));
        block = raw != nullptr ? raw + kHeaderBytes : nullptr;
    }
    if (block == nullptr) {
        return nullptr;
    }
    writeHeader(block, byteCount, kind);
    liveBlocks.fetch_add(1);
    liveBytes.fetch_add(byteCount);
    return block;
}

void jmsc_HeapFree(void* block) {
    if (block == nullptr) {
        return;
    }
    unsigned char* bytes = static_cast<unsigned char*>(block);
    uint64_t size = 0;
    uint64_t kind = 0;
    std::memcpy(&size, bytes - kHeaderBytes, sizeof size);
    std::memcpy(&kind, bytes - kHeaderBytes + sizeof size, sizeof kind);
    liveBlocks.fetch_sub(1);
    liveBytes.fetch_sub(size);
#if JHOST_HEAP_HAS_GUARD
    if (kind == kGuarded) {
        guardedFree(bytes, size);
        return;
    }
#endif
    std::free(bytes - kHeaderBytes);
}

uint64_t jmsc_HeapLiveBlocks(void) { return liveBlocks.load(); }

uint64_t jmsc_HeapLiveBytes(void) { return liveBytes.load(); }

void jmsc_HeapFailAfter(int64_t successes) { failCountdown.store(successes < 0 ? -1 : successes); }

int jmsc_HeapGuard(int alignment) {
    if (alignment == 0) {
        guardAlignment.store(0);
        return 1;
    }
    if (!JHOST_HEAP_HAS_GUARD || !validGuardAlignment(alignment)) {
        return 0;
    }
    guardAlignment.store(alignment);
    return 1;
}

}  // extern "C"
