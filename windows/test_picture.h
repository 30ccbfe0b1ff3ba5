// The test picture that the Windows host records: three 8-bit planes whose
// samples follow from the pixel position and the frame number alone, so a
// reader can rebuild every frame and compare byte for byte. Red rises to the
// right, green downwards and blue along the diagonal, and all three move with
// the frame number, which shows orientation, colour order and motion.
#ifndef WINDOWS_TEST_PICTURE_H
#define WINDOWS_TEST_PICTURE_H

#include <cstdint>
#include <vector>

struct TestPicture {
    int32_t width;
    int32_t height;
    std::vector<unsigned char> red;    // width x height, top row first
    std::vector<unsigned char> green;
    std::vector<unsigned char> blue;
};

// Sizes the planes for a frame of width x height (both at least 1).
void resizeTestPicture(TestPicture& picture, int32_t width, int32_t height);

// Fills the planes with frame number `frame`.
void drawTestPicture(TestPicture& picture, int32_t frame);

#endif  // WINDOWS_TEST_PICTURE_H
