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

namespace apitest {

// A BI_RGB header of this size and depth, biSizeImage filled in.
BITMAPINFOHEADER dibHeader(int32_t width, int32_t height, uint16_t bitCount = 24);

// Header plus colour table as one block (the table only for 8 bits).
std::vector<uint8_t> dibFormatBlock(const BITMAPINFOHEADER& header, uint32_t paletteEntries = 0);

// Bytes of one row of a 24-bit DIB.
uint32_t stride24(int32_t width);

// A 24-bit bottom-up frame whose every pixel depends on (x, y, seed); the
// filler at the end of each row is zero.
std::vector<uint8_t> dibFrame(int32_t width, int32_t height, int seed);

// What a reader gives back for a 24-bit DIB frame: packed RGB, top row first.
std::vector<uint8_t> rgbRowsOf(const std::vector<uint8_t>& frame, int32_t width, int32_t height);

// The stream header that the plug-in fills for a width x height movie.
AVISTREAMINFOA videoInfo(int32_t width, int32_t height, DWORD rate = 15, const char* name = "");

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
