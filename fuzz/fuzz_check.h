// The fuzz targets' assertion: a property that does not hold is a finding,
// reported like a crash (libFuzzer saves the input; the replay program fails).
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                     \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__,   \
                         #condition);                                                  \
            std::fprintf(stderr, __VA_ARGS__);                                         \
            std::fprintf(stderr, "\n");                                                \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

#endif  // FUZZ_FUZZ_CHECK_H
