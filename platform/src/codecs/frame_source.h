// Puts the caller's DIB frames into the picture a codec takes: handed over
// as they are where the codec takes the DIB's own pixel format, otherwise
// converted by libswscale, set up once for the stream.
#ifndef AVIFILE_CODECS_FRAME_SOURCE_H
#define AVIFILE_CODECS_FRAME_SOURCE_H

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <vector>

#include "codecs/dib_layout.h"

struct SwsContext;

namespace avifile::codecs {

class FrameSource {
public:
    FrameSource() = default;
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Prepares for frames of `layout` going to a codec that takes `target`.
    bool prepare(const DibLayout& layout, AVPixelFormat target);

    // The picture for one frame; valid until the next call. Null on failure
    // (out of memory).
    AVFrame* picture(const void* dib);

    // Whether frames are handed over without conversion.
    bool direct() const { return lent_ != nullptr; }

private:
    // Pictures to convert into: enough for a codec that holds the last one.
    static constexpr size_t kMostPictures = 3;

    void release();
    AVFrame* freePicture();
    // Wraps the caller's rows in `frame`: top row first, or with
    // `memoryOrder` as they lie in memory (bottom row first for a
    // bottom-up DIB).
    bool lend(AVFrame* frame, const void* dib, AVPixelFormat format, bool memoryOrder);

    DibLayout layout_;
    AVPixelFormat target_ = AV_PIX_FMT_NONE;
    SwsContext* scaler_ = nullptr;
    AVFrame* lent_ = nullptr;      // the caller's rows, when the codec takes them as they are
    std::vector<AVFrame*> pictures_;  // converted pictures, when it does not
    size_t replaced_ = 0;          // which picture gets a new buffer next, when all are held
    AVFrame* input_ = nullptr;     // the caller's rows, when converting
    AVFrame* flipped_ = nullptr;   // a picture upside down, when converting in memory order
};

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_FRAME_SOURCE_H
