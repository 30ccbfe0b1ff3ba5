// Puts the caller's DIB frames into the picture a codec takes: handed over
// as they are where the codec takes the DIB's own pixel format, otherwise
// converted by libswscale, set up once for the stream.
#ifndef AVIFILE_CODECS_FRAME_SOURCE_H
#define AVIFILE_CODECS_FRAME_SOURCE_H

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

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
    bool direct() const { return scaler_ == nullptr; }

private:
    void release();
    bool lend(AVFrame* frame, const void* dib, AVPixelFormat format);

    DibLayout layout_;
    AVPixelFormat target_ = AV_PIX_FMT_NONE;
    SwsContext* scaler_ = nullptr;
    AVFrame* frame_ = nullptr;   // what the codec is given
    AVFrame* input_ = nullptr;   // the caller's rows, when converting
};

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_FRAME_SOURCE_H
