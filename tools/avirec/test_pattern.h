// The built-in animated test picture. It makes wrong colour order, upside
// down or mirrored frames and dropped or repeated frames obvious at a glance:
// a strip of labelled colour patches along the top (red, green, blue, white
// from left to right, with "TOP" beneath), a background whose red rises to
// the right and whose blue rises downwards, a vertical bar sweeping right and
// a horizontal bar sweeping down, and the frame number drawn large.
#ifndef AVIREC_TEST_PATTERN_H
#define AVIREC_TEST_PATTERN_H

#include "frame_source.h"

// Draws frame `index` of the picture at the frame's size.
void drawTestPattern(int index, PlanarFrame& frame);

class TestPatternSource : public FrameSource {
public:
    TestPatternSource(int width, int height, int frames)
        : width_(width), height_(height), frames_(frames) {}
    int frameCount() const override { return frames_; }
    bool sizeKnownAhead(int& width, int& height) const override {
        width = width_;
        height = height_;
        return true;
    }
    ReadStatus read(PlanarFrame& frame, std::string& error) override;

private:
    int width_;
    int height_;
    int frames_;
    int next_ = 0;
};

#endif  // AVIREC_TEST_PATTERN_H
