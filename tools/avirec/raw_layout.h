// The layouts of raw frames that the recorders read, and their spreading
// over the three 8-bit bands a frame is handed to the plug-in in.
#ifndef AVIREC_RAW_LAYOUT_H
#define AVIREC_RAW_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_source.h"

enum class RawLayout { Packed, Planar, Gray };

struct RawFormat {
    const char* name;
    RawLayout layout;
    int bytesPerPixel;
    int redAt;  // byte offsets within a packed pixel
    int greenAt;
    int blueAt;
};

// The format of that name, or null.
const RawFormat* findRawFormat(const std::string& name);

// Whether `format` names a raw layout, and the names of all of them.
bool isRawFormat(const std::string& format);
std::string rawFormatNames();

// The bytes of one frame of `format` at that size.
size_t rawFrameBytes(const RawFormat& format, int width, int height);

// Spreads `pixels` pixels of packed `format` over the red, green and blue
// planes.
void spreadPacked(const RawFormat& format, const uint8_t* in, uint8_t* const (&planes)[3],
                  size_t pixels);

// The frame as rgb24: R, G and B of each pixel, top row first.
void packRgb24(const PlanarFrame& frame, std::vector<uint8_t>& bytes);

// Raw frames of one format and size, read whole one after another until the
// input ends: a partial last frame is an error that names its bytes. The
// reading itself (a thread reading ahead, or plain reads) is the subclass's.
class RawFrameSource : public FrameSource {
public:
    RawFrameSource(std::string name, const RawFormat& format, int width, int height, int limit)
        : name_(std::move(name)), format_(format), width_(width), height_(height),
          limit_(limit) {}

    int frameCount() const override { return -1; }
    ReadStatus read(PlanarFrame& frame, std::string& error) final;

protected:
    // What reading one frame's bytes gave.
    struct Bytes {
        enum class Outcome { Whole, EndOfInput, Failed, Interrupted } outcome = Outcome::Whole;
        const uint8_t* data = nullptr;  // with Whole: the frame, valid until done()
        bool spread = false;            // with Whole: data holds the red, green, blue planes
        size_t got = 0;                 // with EndOfInput: the bytes that came
        std::string reason;             // with Failed: why
    };
    // Reads the next frame's `bytes` bytes.
    virtual Bytes readBytes(size_t bytes) = 0;
    // The bytes of the last Whole read are no longer needed (for planes
    // lent to a frame: at the next read).
    virtual void done() {}

    const std::string& name() const { return name_; }
    const RawFormat& format() const { return format_; }

private:
    std::string name_;
    const RawFormat& format_;
    int width_;
    int height_;
    int limit_;
    int index_ = 0;
    bool lending_ = false;  // the frame read last uses the bytes read
};

#endif  // AVIREC_RAW_LAYOUT_H
