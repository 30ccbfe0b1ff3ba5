// Where avirec's frames come from: the test picture, image files or raw
// planar frames, each giving frames as three 8-bit planes.
#ifndef AVIREC_FRAME_SOURCE_H
#define AVIREC_FRAME_SOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

// One frame: red, green and blue planes, top row first, `width` bytes a row.
struct PlanarFrame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> red;
    std::vector<uint8_t> green;
    std::vector<uint8_t> blue;

    void resize(int frameWidth, int frameHeight);
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual int frameCount() const = 0;
    // Fills `frame` with frame `index` (0, 1, 2, ... in order). False with a
    // message for the user in `error`.
    virtual bool read(int index, PlanarFrame& frame, std::string& error) = 0;
};

// The source that the options ask for. Null with the reason in `error`.
std::unique_ptr<FrameSource> openFrameSource(const RecorderOptions& options, std::string& error);

#endif  // AVIREC_FRAME_SOURCE_H
