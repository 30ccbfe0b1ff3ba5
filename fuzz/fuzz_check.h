// The fuzz targets' assertion: a property that does not hold is a finding,
// reported like a crash (libFuzzer saves the input; the replay program fails).
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
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

// Makes the file behind `fd` hold exactly the input's bytes.
inline void putInput(int fd, const uint8_t* data, size_t size) {
    FUZZ_CHECK(ftruncate(fd, 0) == 0, "ftruncate failed");
    size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        FUZZ_CHECK(n > 0, "pwrite failed");
        written += static_cast<size_t>(n);
    }
}

#endif  // FUZZ_FUZZ_CHECK_H
