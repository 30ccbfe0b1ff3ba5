// Processor features from the CPUID instruction. The compiler runtime offers
// the same answers, but fills them in from a constructor when the module is
// loaded; reading them here, on first use, keeps loading free of work.
#include "frame_rows.h"

#if AVI_FRAME_ROWS_X86

#include <cpuid.h>

#include <cstdint>

#include "cpu_features_x86.h"

namespace {

struct CpuFeatures {
    bool ssse3 = false;
    bool avx2 = false;
};

// Which register states the operating system saves on a task switch (XCR0).
uint64_t savedRegisterStates() {
    uint32_t low = 0;
    uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

CpuFeatures readCpuFeatures() {
    CpuFeatures features;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.ssse3 = (ecx & bit_SSSE3) != 0;

    // The 256-bit registers are usable only if the processor has AVX and the
    // operating system saves both the SSE and the AVX state (XCR0 bits 1, 2).
    constexpr uint64_t kSseAndAvxState = 0x6;
    const bool osSavesAvx = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0 &&
                            (savedRegisterStates() & kSseAndAvxState) == kSseAndAvxState;
    if (osSavesAvx && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        features.avx2 = (ebx & bit_AVX2) != 0;
    }
    return features;
}

const CpuFeatures& cpuFeatures() {
    static const CpuFeatures features = readCpuFeatures();
    return features;
}

}  // namespace

bool cpuRunsSsse3() { return cpuFeatures().ssse3; }

bool cpuRunsAvx2() { return cpuFeatures().avx2; }

#endif  // AVI_FRAME_ROWS_X86
