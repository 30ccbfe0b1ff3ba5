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
struct PlanarFrame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> red;
    std::vector<uint8_t> green;
    std::vector<uint8_t> blue;

    void resize(int frameWidth, int frameHeight);
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
        red.data = frame.red.data();
        green.data = frame.green.data();
        blue.data = frame.blue.data();
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
    // Fills `frame` with the next frame, at the size the input gives.
    virtual ReadStatus read(PlanarFrame& frame, std::string& error) = 0;
    // The frame size when it is known before the frames are read.
    virtual bool sizeKnownAhead(int& /*width*/, int& /*height*/) const { return false; }
    // Whether the frames come from standard input.
    virtual bool fromStandardInput() const { return false; }
};

#endif  // AVIREC_FRAME_SOURCE_H
