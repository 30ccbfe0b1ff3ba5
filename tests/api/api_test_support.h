// Helpers of the AVIFile layer's tests: DIB headers and frames, the rows
// that a reader should decode from them, and a temporary environment
// variable.
#ifndef TESTS_API_API_TEST_SUPPORT_H
#define TESTS_API_API_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "avifile.h"
#include "support/dib_frames.h"

namespace apitest {

using dibtest::dibHeader;
using dibtest::rgbRowsOf;
using dibtest::stride24;
using dibtest::videoInfo;

// Header plus colour table as one block (the table only for 8 bits).
std::vector<uint8_t> dibFormatBlock(const BITMAPINFOHEADER& header, uint32_t paletteEntries = 0);

// A 24-bit bottom-up frame whose every pixel depends on (x, y, seed); the
// filler at the end of each row is zero.
std::vector<uint8_t> dibFrame(int32_t width, int32_t height, int seed);

// Sets an environment variable (or unsets it, for nullopt) until destroyed.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, std::optional<std::string> value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Standard input read from /dev/null until destroyed, so that the dialog's
// stand-in never sees a terminal.
class StdinFromNull {
public:
    StdinFromNull();
    ~StdinFromNull();
    StdinFromNull(const StdinFromNull&) = delete;
    StdinFromNull& operator=(const StdinFromNull&) = delete;

private:
    int saved_;
};

}  // namespace apitest

#endif  // TESTS_API_API_TEST_SUPPORT_H
