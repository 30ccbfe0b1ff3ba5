// Where avirec's frames come from: the test picture, raw frames, or images
// and streams that FFmpeg's libraries decode, each giving frames as three
// 8-bit planes.
#ifndef AVIREC_FRAME_SOURCE_H
#define AVIREC_FRAME_SOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "avi/avi_plugin.h"

// One frame: red, green and blue planes, top row first, `width` bytes a row.
// A source whose input already holds the planes may lend them instead of
// copying them into the frame's own: they stay valid until its next read.
struct PlanarFrame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> red;
    std::vector<uint8_t> green;
    std::vector<uint8_t> blue;
    const uint8_t* lent[3] = {};  // red, green, blue; null: the frame's own

    // Sizes the frame's own planes and stops using lent ones.
    void resize(int frameWidth, int frameHeight);
    // Plane 0 (red), 1 (green) or 2 (blue), lent or the frame's own.
    const uint8_t* plane(int band) const {
        if (lent[band] != nullptr) {
            return lent[band];
        }
        return band == 0 ? red.data() : band == 1 ? green.data() : blue.data();
    }
};

// The host's records of one frame, as the plug-in takes it: a band stack
// over three band blocks that point into the frame's planes.
struct BandRecords {
    BandBlock red{};
    BandBlock green{};
    BandBlock blue{};
    BandBlock* bands[3] = {&red, &green, &blue};
    BandStack stack{};

    BandRecords() { stack.bands = bands; }
    BandRecords(const BandRecords&) = delete;
    BandRecords& operator=(const BandRecords&) = delete;

    void point(const PlanarFrame& frame) {
        red.data = frame.plane(0);
        green.data = frame.plane(1);
        blue.data = frame.plane(2);
    }
};

// The plug-in hands every frame on as a 24-bit bitmap with rows padded to
// 4 bytes, whose byte count must pass as a signed 32-bit length.
constexpr uint64_t kMaxFrameBytes = 2147483647;

// The bitmap bytes of a frame of that size (both above 0).
uint64_t frameBitmapBytes(int width, int height);

// Whether a movie can take frames of that size.
bool frameFitsMovie(int width, int height);

// What a read gave.
enum class ReadStatus {
    Frame,        // the frame was filled
    End,          // the input has no more frames
    Failed,       // the input failed; the reason is in `error`
    Interrupted,  // a stop signal came while waiting for the frame
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The frame count when it is known before the frames are read, else -1.
    virtual int frameCount() const = 0;
    // Fills `frame` with the next frame, at the size the input gives; planes
    // it lends stay valid until the next read.
    virtual ReadStatus read(PlanarFrame& frame, std::string& error) = 0;
    // The frame size when it is known before the frames are read.
    virtual bool sizeKnownAhead(int& /*width*/, int& /*height*/) const { return false; }
    // Whether the frames come from standard input.
    virtual bool fromStandardInput() const { return false; }
};

#endif  // AVIREC_FRAME_SOURCE_H
