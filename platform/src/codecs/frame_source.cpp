#include "codecs/frame_source.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/cpu.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace avifile::codecs {
namespace {

AVPixelFormat dibPixelFormat(const DibLayout& layout) {
    // The bytes of a 32-bit BI_RGB pixel are blue, green, red and an unused one.
    return layout.bitsPerPixel == 32 ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGR24;
}

// The caller's frame belongs to the caller: the buffer wrapped around it
// must never free it.
void keepCallersBytes(void*, uint8_t*) {}

// Whether converting a bottom-up frame in memory order into an upside-down
// view of the picture gives exactly the picture that converting it top row
// first gives. It does where each output pixel is its input pixel with the
// bytes rearranged: 8-bit RGB in another order or in planes. Where chroma
// is subsampled or the depth reduced, the library treats the first and the
// last rows differently (at the edges of the chroma filter, in the dither
// pattern), and turning the frame around would move those differences.
bool canFlipOnWrite(AVPixelFormat target) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(target);
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 ||
        (descriptor->flags & AV_PIX_FMT_FLAG_PAL) != 0) {
        return false;
    }
    for (int component = 0; component < descriptor->nb_components; ++component) {
        if (descriptor->comp[component].depth != 8) {
            return false;
        }
    }
    return true;
}

// Turns `view`, a reference to a picture of one of those formats, upside
// down: each plane starts at its last row and steps backwards.
void turnUpsideDown(AVFrame* view) {
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS && view->data[plane] != nullptr; ++plane) {
        view->data[plane] += static_cast<ptrdiff_t>(view->height - 1) * view->linesize[plane];
        view->linesize[plane] = -view->linesize[plane];
    }
}

}  // namespace

FrameSource::~FrameSource() { release(); }

void FrameSource::release() {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    av_frame_free(&lent_);
    for (AVFrame*& picture : pictures_) {
        av_frame_free(&picture);
    }
    pictures_.clear();
    av_frame_free(&input_);
    av_frame_free(&flipped_);
}

bool FrameSource::prepare(const DibLayout& layout, AVPixelFormat target) {
    release();
    layout_ = layout;
    target_ = target;
    const AVPixelFormat source = dibPixelFormat(layout);
    if (source == target) {
        lent_ = av_frame_alloc();
        return lent_ != nullptr;
    }
    // No scaling: the flags only choose how chroma is subsampled. Bicubic,
    // as the ffmpeg command line has it. At odd widths the fast path puts
    // the subsampled chroma off by a fraction of a pixel (measured on the
    // test picture at 65 pixels wide: 32.3 dB after a 4:2:0 round trip,
    // against 38.9 at 64); reading the input's chroma at full resolution
    // there gives 35.4.
    int flags = SWS_BICUBIC;
    if (layout.width % 2 != 0) {
        flags |= SWS_FULL_CHR_H_INP;
    }
    // Slice threads share each conversion, as they share the encoding: one
    // a core. (Left to choose, the library starts one more than there are
    // cores, and the last slice then waits for a core to come free.)
    scaler_ = sws_alloc_context();
    input_ = av_frame_alloc();
    if (scaler_ == nullptr || input_ == nullptr) {
        return false;
    }
    // A bottom-up frame is read in memory order, its bottom row first, and
    // the rows are written into the picture from the bottom up where that
    // gives the same picture: reading backwards through a frame that is not
    // in the cache takes up to twice as long as reading it forwards.
    if (layout.bottomUp && canFlipOnWrite(target)) {
        flipped_ = av_frame_alloc();
        if (flipped_ == nullptr) {
            return false;
        }
    }
    const bool configured =
        av_opt_set_int(scaler_, "srcw", layout.width, 0) >= 0 &&
        av_opt_set_int(scaler_, "srch", layout.height, 0) >= 0 &&
        av_opt_set_pixel_fmt(scaler_, "src_format", source, 0) >= 0 &&
        av_opt_set_int(scaler_, "dstw", layout.width, 0) >= 0 &&
        av_opt_set_int(scaler_, "dsth", layout.height, 0) >= 0 &&
        av_opt_set_pixel_fmt(scaler_, "dst_format", target, 0) >= 0 &&
        av_opt_set_int(scaler_, "sws_flags", flags, 0) >= 0 &&
        av_opt_set_int(scaler_, "threads", av_cpu_count(), 0) >= 0 &&
        sws_init_context(scaler_, nullptr, nullptr) >= 0;
    return configured && freePicture() != nullptr;
}

AVFrame* FrameSource::freePicture() {
    // Some codecs keep a reference to the last picture until they are given
    // the next one. Converting into a picture of their own then would make
    // a copy of it first; a picture they hold is left to them instead.
    for (AVFrame* picture : pictures_) {
        if (av_frame_is_writable(picture) != 0) {
            return picture;
        }
    }
    AVFrame* picture = nullptr;
    if (pictures_.size() < kMostPictures) {
        picture = av_frame_alloc();
        if (picture == nullptr) {
            return nullptr;
        }
        pictures_.push_back(picture);
    } else {
        // A codec that holds more than that gets a new buffer in place of
        // the oldest; every pixel of it is about to be written.
        picture = pictures_[replaced_++ % pictures_.size()];
        av_frame_unref(picture);
    }
    picture->format = target_;
    picture->width = layout_.width;
    picture->height = layout_.height;
    return av_frame_get_buffer(picture, 0) >= 0 ? picture : nullptr;
}

bool FrameSource::lend(AVFrame* frame, const void* dib, AVPixelFormat format, bool memoryOrder) {
    // A reference-counted buffer around the caller's rows keeps the
    // libraries from copying them into one of their own; they are done
    // with it before the call that was given it returns.
    av_frame_unref(frame);
    frame->format = format;
    frame->width = layout_.width;
    frame->height = layout_.height;
    frame->buf[0] = av_buffer_create(const_cast<uint8_t*>(static_cast<const uint8_t*>(dib)),
                                     layout_.imageBytes, keepCallersBytes, nullptr,
                                     AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) {
        return false;
    }
    if (memoryOrder) {
        frame->data[0] = const_cast<uint8_t*>(static_cast<const uint8_t*>(dib));
        frame->linesize[0] = static_cast<int>(layout_.stride);
    } else {
        frame->data[0] = const_cast<uint8_t*>(layout_.topRow(dib));
        frame->linesize[0] = layout_.rowStep();
    }
    return true;
}

AVFrame* FrameSource::picture(const void* dib) {
    if (lent_ != nullptr) {
        return lend(lent_, dib, target_, false) ? lent_ : nullptr;
    }
    if (scaler_ == nullptr) {
        return nullptr;  // not prepared
    }
    const bool flip = flipped_ != nullptr;
    AVFrame* picture = freePicture();
    if (picture == nullptr || !lend(input_, dib, dibPixelFormat(layout_), flip)) {
        return nullptr;
    }
    AVFrame* output = picture;
    if (flip) {
        if (av_frame_ref(flipped_, picture) < 0) {
            av_frame_unref(input_);
            return nullptr;
        }
        turnUpsideDown(flipped_);
        output = flipped_;
    }
    const int converted = sws_scale_frame(scaler_, output, input_);
    av_frame_unref(input_);
    if (flip) {
        av_frame_unref(flipped_);
    }
    return converted >= 0 ? picture : nullptr;
}

}  // namespace avifile::codecs
