#include "codecs/dib_picture_adapter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
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

// Bytes that the converter may read past the end of a row it converts (its
// vector code reads whole registers). Rows of the caller's block within this
// of its end are converted from a copy with room after it, since the block
// ends where its last row does.
constexpr size_t kReadPast = 64;

// Where chroma is subsampled or the depth reduced (see canFlipOnWrite), the
// converter's output near the first and last rows it is given depends on
// them. Such conversions are split only at multiples of kBandAlignment rows
// (whole chroma rows, whole dither patterns), and each part's result is
// used only kBandMargin rows or more away from a split, so that every pixel
// comes from rows that a conversion of the whole frame would read too.
constexpr int kBandAlignment = 8;
constexpr int kBandMargin = 8;

int verticalShift(const AVPixFmtDescriptor* descriptor, int plane) {
    return plane == 1 || plane == 2 ? descriptor->log2_chroma_h : 0;
}

// Plane pointers of `frame` moved down by `rows` rows of the full picture.
void planesAt(const AVFrame* frame, int rows, uint8_t* planes[4], int lines[4]) {
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    for (int plane = 0; plane < 4; ++plane) {
        planes[plane] = frame->data[plane];
        lines[plane] = frame->linesize[plane];
        if (planes[plane] != nullptr) {
            planes[plane] += static_cast<ptrdiff_t>(rows >> verticalShift(descriptor, plane)) *
                             frame->linesize[plane];
        }
    }
}

}  // namespace

DibPictureAdapter::~DibPictureAdapter() { release(); }

void DibPictureAdapter::release() {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    for (EdgeBand& band : edges_) {
        sws_freeContext(band.scaler);
        av_frame_free(&band.scratch);
    }
    edges_.clear();
    av_frame_free(&lent_);
    for (AVFrame*& picture : pictures_) {
        av_frame_free(&picture);
    }
    pictures_.clear();
    av_frame_free(&input_);
    av_frame_free(&output_);
    flip_ = false;
}

bool DibPictureAdapter::setMatrix(SwsContext* scaler) const {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(target_);
    if (!colours_.yuv() || descriptor == nullptr ||
        (descriptor->flags & AV_PIX_FMT_FLAG_RGB) != 0) {
        return true;  // the library's default
    }
    int* sourceTable = nullptr;
    int* table = nullptr;
    int sourceRange = 0;
    int range = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(scaler, &sourceTable, &sourceRange, &table, &range, &brightness,
                                 &contrast, &saturation) < 0) {
        return false;
    }
    // The coefficient sets are numbered as the matrices are (SWS_CS_ITU709
    // is AVCOL_SPC_BT709, SWS_CS_ITU601 AVCOL_SPC_SMPTE170M). This also
    // reaches the slice threads' own contexts.
    return sws_setColorspaceDetails(scaler, sourceTable, sourceRange,
                                    sws_getCoefficients(colours_.matrix),
                                    colours_.range == AVCOL_RANGE_JPEG ? 1 : 0, brightness,
                                    contrast, saturation) >= 0;
}

SwsContext* DibPictureAdapter::makeScaler(int rows, int threads) const {
    SwsContext* scaler = sws_alloc_context();
    const AVPixelFormat source = dibPixelFormat(layout_);
    const bool configured =
        scaler != nullptr && av_opt_set_int(scaler, "srcw", layout_.width, 0) >= 0 &&
        av_opt_set_int(scaler, "srch", rows, 0) >= 0 &&
        av_opt_set_pixel_fmt(scaler, "src_format", source, 0) >= 0 &&
        av_opt_set_int(scaler, "dstw", layout_.width, 0) >= 0 &&
        av_opt_set_int(scaler, "dsth", rows, 0) >= 0 &&
        av_opt_set_pixel_fmt(scaler, "dst_format", target_, 0) >= 0 &&
        av_opt_set_int(scaler, "sws_flags", scalerFlags_, 0) >= 0 &&
        av_opt_set_int(scaler, "threads", threads, 0) >= 0 &&
        sws_init_context(scaler, nullptr, nullptr) >= 0 && setMatrix(scaler);
    if (!configured) {
        sws_freeContext(scaler);
        return nullptr;
    }
    return scaler;
}

// Splits the rows, in the order the converter reads them, into the bulk,
// converted straight from the caller's block on every core, and edge bands
// converted from copies. The caller's block ends with its last row in
// memory; its rows within kReadPast bytes of that end always go through a
// copy. Where rows convert independently of each other, that band is the
// only one. Elsewhere both ends of the picture get a band of the same
// height, so that the picture does not depend on which way up the DIB lies.
bool DibPictureAdapter::planBands(bool memoryOrder) {
    const int height = layout_.height;
    const bool lastInMemoryFirst = !memoryOrder && layout_.bottomUp;
    const auto nearEnd = static_cast<int>(
        std::min<size_t>(static_cast<size_t>(height), 1 + (kReadPast + layout_.stride - 1) / layout_.stride));
    auto addEdge = [&](int top, int rows, int keepTop, int keepRows) {
        EdgeBand band;
        band.top = top;
        band.rows = rows;
        band.keepTop = keepTop;
        band.keepRows = keepRows;
        edges_.push_back(std::move(band));
    };
    if (canFlipOnWrite(target_)) {
        mainRows_ = height - nearEnd;
        mainTop_ = lastInMemoryFirst ? nearEnd : 0;
        const int edgeTop = lastInMemoryFirst ? 0 : height - nearEnd;
        addEdge(edgeTop, nearEnd, edgeTop, nearEnd);
    } else {
        const int above = (nearEnd + kBandAlignment - 1) / kBandAlignment * kBandAlignment;
        const int below = (height - nearEnd) / kBandAlignment * kBandAlignment;
        if (below - above <= 2 * kBandMargin) {
            addEdge(0, height, 0, height);  // a small frame: all of it from a copy
        } else {
            mainTop_ = above;
            mainRows_ = below - above;
            addEdge(0, above + 2 * kBandMargin, 0, above + kBandMargin);
            const int bottom = below - 2 * kBandMargin;
            addEdge(bottom, height - bottom, below - kBandMargin, height - below + kBandMargin);
        }
    }
    if (mainRows_ > 0) {
        // Slice threads share each conversion, as they share the encoding:
        // one a core. (Left to choose, the library starts one more than
        // there are cores, and the last slice then waits for a core to come
        // free.)
        scaler_ = makeScaler(mainRows_, av_cpu_count());
        if (scaler_ == nullptr) {
            return false;
        }
    }
    for (EdgeBand& band : edges_) {
        band.scaler = makeScaler(band.rows, 1);
        band.copy.resize(static_cast<size_t>(band.rows) * layout_.stride + kReadPast);
        if (band.keepTop != band.top || band.keepRows != band.rows) {
            band.scratch = av_frame_alloc();
            if (band.scratch == nullptr) {
                return false;
            }
            band.scratch->format = target_;
            band.scratch->width = layout_.width;
            band.scratch->height = band.rows;
            if (av_frame_get_buffer(band.scratch, 0) < 0) {
                return false;
            }
        }
        if (band.scaler == nullptr) {
            return false;
        }
    }
    return true;
}

bool DibPictureAdapter::prepare(const DibLayout& layout, AVPixelFormat target,
                          const YuvColours& colours) {
    release();
    layout_ = layout;
    target_ = target;
    colours_ = colours;
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
    scalerFlags_ = SWS_BICUBIC;
    if (layout.width % 2 != 0) {
        scalerFlags_ |= SWS_FULL_CHR_H_INP;
    }
    input_ = av_frame_alloc();
    output_ = av_frame_alloc();
    if (input_ == nullptr || output_ == nullptr) {
        return false;
    }
    // A bottom-up frame is read in memory order, its bottom row first, and
    // the rows are written into the picture from the bottom up where that
    // gives the same picture: reading backwards through a frame that is not
    // in the cache takes up to twice as long as reading it forwards.
    flip_ = layout.bottomUp && canFlipOnWrite(target);
    return planBands(flip_ || !layout.bottomUp) && freePicture() != nullptr;
}

AVFrame* DibPictureAdapter::freePicture() {
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

bool DibPictureAdapter::lend(AVFrame* frame, const void* dib, AVPixelFormat format, bool memoryOrder) {
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

bool DibPictureAdapter::convertEdge(EdgeBand& band, const uint8_t* firstRow, ptrdiff_t rowStep,
                              AVFrame* output) {
    const size_t stride = layout_.stride;
    for (int row = 0; row < band.rows; ++row) {
        std::memcpy(band.copy.data() + static_cast<size_t>(row) * stride,
                    firstRow + static_cast<ptrdiff_t>(band.top + row) * rowStep, stride);
    }
    const uint8_t* source[4] = {band.copy.data(), nullptr, nullptr, nullptr};
    const int sourceLines[4] = {static_cast<int>(stride), 0, 0, 0};
    uint8_t* planes[4];
    int lines[4];
    if (band.scratch != nullptr) {
        planesAt(band.scratch, 0, planes, lines);
    } else {
        planesAt(output, band.top, planes, lines);
    }
    if (sws_scale(band.scaler, source, sourceLines, 0, band.rows, planes, lines) < 0) {
        return false;
    }
    if (band.scratch == nullptr) {
        return true;
    }
    // The rows kept, from the scratch picture into the picture.
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(target_);
    uint8_t* into[4];
    int intoLines[4];
    planesAt(output, band.keepTop, into, intoLines);
    uint8_t* from[4];
    int fromLines[4];
    planesAt(band.scratch, band.keepTop - band.top, from, fromLines);
    for (int plane = 0; plane < av_pix_fmt_count_planes(target_); ++plane) {
        const int shift = verticalShift(descriptor, plane);
        const int rows = AV_CEIL_RSHIFT(band.keepTop + band.keepRows, shift) - (band.keepTop >> shift);
        av_image_copy_plane(into[plane], intoLines[plane], from[plane], fromLines[plane],
                            av_image_get_linesize(target_, layout_.width, plane), rows);
    }
    return true;
}

AVFrame* DibPictureAdapter::picture(const void* dib) {
    if (lent_ != nullptr) {
        return lend(lent_, dib, target_, false) ? lent_ : nullptr;
    }
    if (input_ == nullptr) {
        return nullptr;  // not prepared
    }
    AVFrame* picture = freePicture();
    if (picture == nullptr || av_frame_ref(output_, picture) < 0) {
        return nullptr;
    }
    if (flip_) {
        turnUpsideDown(output_);
    }
    bool converted = true;
    if (mainRows_ > 0) {
        // The bulk, from the caller's rows as they lie, into the same rows
        // of the picture; the edge bands then overwrite what the split
        // left uncertain.
        AVFrame* whole = av_frame_clone(output_);
        if (whole == nullptr || !lend(input_, dib, dibPixelFormat(layout_), flip_)) {
            av_frame_free(&whole);
            av_frame_unref(output_);
            return nullptr;
        }
        input_->data[0] += static_cast<ptrdiff_t>(mainTop_) * input_->linesize[0];
        input_->height = mainRows_;
        planesAt(whole, mainTop_, output_->data, output_->linesize);
        output_->height = mainRows_;
        converted = sws_scale_frame(scaler_, output_, input_) >= 0;
        av_frame_unref(input_);
        av_frame_unref(output_);
        av_frame_move_ref(output_, whole);
        av_frame_free(&whole);
    }
    const auto* bytes = static_cast<const uint8_t*>(dib);
    const uint8_t* firstRow = flip_ || !layout_.bottomUp ? bytes : layout_.topRow(dib);
    const ptrdiff_t rowStep = flip_ ? static_cast<ptrdiff_t>(layout_.stride) : layout_.rowStep();
    for (EdgeBand& band : edges_) {
        converted = converted && convertEdge(band, firstRow, rowStep, output_);
    }
    av_frame_unref(output_);
    return converted ? picture : nullptr;
}

}  // namespace avifile::codecs
