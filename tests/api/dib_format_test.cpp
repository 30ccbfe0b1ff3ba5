// Which DIB headers Full Frames and the codecs take, and the frame size
// that each gives.
#include <gtest/gtest.h>

#include <vector>

#include "api/dib_format.h"
#include "api_test_support.h"

namespace {

using apitest::dibFormatBlock;
using apitest::dibHeader;
using avifile::api::checkUncompressedDib;

HRESULT check(const std::vector<uint8_t>& block, uint32_t& image) {
    return checkUncompressedDib(block.data(), block.size(), image);
}

TEST(DibFormat, AcceptsEachDepthWithItsRowSize) {
    struct Case {
        uint16_t bits;
        int32_t width;
        int32_t height;
        uint32_t image;
        uint32_t palette;
    };
    const Case cases[] = {
        {24, 1, 1, 4, 0},          {24, 5, 3, 16 * 3, 0},      {24, 641, 481, 1924 * 481, 0},
        {32, 5, 3, 20 * 3, 0},     {16, 5, 3, 12 * 3, 0},      {8, 5, 3, 8 * 3, 256},
        {8, 4, 2, 4 * 2, 256},
    };
    for (const Case& c : cases) {
        uint32_t image = 0;
        EXPECT_EQ(check(dibFormatBlock(dibHeader(c.width, c.height, c.bits), c.palette), image),
                  AVIERR_OK)
            << c.bits << " bits " << c.width << "x" << c.height;
        EXPECT_EQ(image, c.image) << c.bits << " bits " << c.width << "x" << c.height;
    }
}

TEST(DibFormat, TakesAZeroImageSizeAndALargerHeader) {
    BITMAPINFOHEADER header = dibHeader(7, 2);
    header.biSizeImage = 0;
    uint32_t image = 0;
    EXPECT_EQ(check(dibFormatBlock(header), image), AVIERR_OK);
    EXPECT_EQ(image, 24u * 2);

    header.biSize = 44;  // a header with a field more, followed by its bytes
    std::vector<uint8_t> block = dibFormatBlock(header);
    block.resize(44, 0);
    EXPECT_EQ(check(block, image), AVIERR_OK);
}

TEST(DibFormat, EightBitsNeedTheirColourTable) {
    uint32_t image = 0;
    EXPECT_EQ(check(dibFormatBlock(dibHeader(8, 8, 8)), image), AVIERR_BADFORMAT);
    BITMAPINFOHEADER header = dibHeader(8, 8, 8);
    header.biClrUsed = 16;
    EXPECT_EQ(check(dibFormatBlock(header, 16), image), AVIERR_OK);
    EXPECT_EQ(check(dibFormatBlock(header, 15), image), AVIERR_BADFORMAT);
    header.biClrUsed = 257;
    EXPECT_EQ(check(dibFormatBlock(header, 257), image), AVIERR_BADFORMAT);
}

TEST(DibFormat, RefusesMalformedHeaders) {
    const auto with = [](auto change) {
        BITMAPINFOHEADER header = dibHeader(16, 8);
        change(header);
        return dibFormatBlock(header);
    };
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"biSize too small", with([](BITMAPINFOHEADER& h) { h.biSize = 39; })},
        {"biSize past the block", with([](BITMAPINFOHEADER& h) { h.biSize = 41; })},
        {"zero width", with([](BITMAPINFOHEADER& h) { h.biWidth = 0; })},
        {"negative width", with([](BITMAPINFOHEADER& h) { h.biWidth = -16; })},
        {"zero height", with([](BITMAPINFOHEADER& h) { h.biHeight = 0; })},
        {"top-down", with([](BITMAPINFOHEADER& h) { h.biHeight = -8; })},
        {"image size off by one", with([](BITMAPINFOHEADER& h) { ++h.biSizeImage; })},
        {"image size without padding",
         with([](BITMAPINFOHEADER& h) { h.biWidth = 5; h.biSizeImage = 15 * 8; })},
        {"compressed", with([](BITMAPINFOHEADER& h) { h.biCompression = mmioFOURCC('M', 'J', 'P', 'G'); })},
        {"bit fields", with([](BITMAPINFOHEADER& h) { h.biCompression = 3; })},
        {"4 bits", with([](BITMAPINFOHEADER& h) { h.biBitCount = 4; h.biSizeImage = 8 * 8; })},
        {"0 bits", with([](BITMAPINFOHEADER& h) { h.biBitCount = 0; })},
        {"two planes", with([](BITMAPINFOHEADER& h) { h.biPlanes = 2; })},
        {"too large", with([](BITMAPINFOHEADER& h) {
             h.biWidth = 0x7FFFFFFF; h.biHeight = 0x7FFFFFFF; h.biSizeImage = 0; })},
    };
    for (const auto& [what, block] : cases) {
        uint32_t image = 12345;
        EXPECT_EQ(check(block, image), AVIERR_BADFORMAT) << what;
        EXPECT_EQ(image, 12345u) << what;
    }
    uint32_t image = 0;
    const std::vector<uint8_t> whole = dibFormatBlock(dibHeader(16, 8));
    EXPECT_EQ(checkUncompressedDib(whole.data(), 39, image), AVIERR_BADFORMAT) << "short block";
    EXPECT_EQ(checkUncompressedDib(nullptr, 40, image), AVIERR_BADFORMAT) << "no block";
}

}  // namespace
