// Puts the caller's DIB frames into the picture a codec takes: handed over
// as they are where the codec takes the DIB's own pixel format, otherwise
// converted by libswscale, set up once for the stream.
#ifndef AVIFILE_CODECS_DIB_PICTURE_ADAPTER_H
#define AVIFILE_CODECS_DIB_PICTURE_ADAPTER_H

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <vector>

#include "codecs/dib_layout.h"
#include "codecs/yuv_colours.h"

struct SwsContext;

namespace avifile::codecs {

class DibPictureAdapter {
public:
    DibPictureAdapter() = default;
    ~DibPictureAdapter();
    DibPictureAdapter(const DibPictureAdapter&) = delete;
    DibPictureAdapter& operator=(const DibPictureAdapter&) = delete;

    // Prepares for frames of `layout` going to a codec that takes `target`,
    // a YUV format converted into with the matrix and range of `colours`
    // (unspecified: libswscale's default, BT.601 in the format's range).
    bool prepare(const DibLayout& layout, AVPixelFormat target, const YuvColours& colours = {});

    // The picture for one frame; valid until the next call. Null on failure
    // (out of memory).
    AVFrame* picture(const void* dib);

    // Whether frames are handed over without conversion.
    bool direct() const { return lent_ != nullptr; }

private:
    // Pictures to convert into: enough for a codec that holds the last one.
    static constexpr size_t kMostPictures = 3;

    // A band of rows converted on its own from a copy of the caller's rows
    // (see prepare()). Rows count in the order the converter reads them.
    struct EdgeBand {
        SwsContext* scaler = nullptr;
        int top = 0;             // first row converted
        int rows = 0;
        int keepTop = 0;         // the rows of the result that go into the picture
        int keepRows = 0;
        std::vector<uint8_t> copy;  // the rows, with room to read past the last
        AVFrame* scratch = nullptr;  // converted into, when not every row is kept
    };

    void release();
    AVFrame* freePicture();
    // Wraps the caller's rows in `frame`: top row first, or with
    // `memoryOrder` as they lie in memory (bottom row first for a
    // bottom-up DIB).
    bool lend(AVFrame* frame, const void* dib, AVPixelFormat format, bool memoryOrder);
    SwsContext* makeScaler(int rows, int threads) const;
    bool setMatrix(SwsContext* scaler) const;
    bool planBands(bool memoryOrder);
    bool convertEdge(EdgeBand& band, const uint8_t* firstRow, ptrdiff_t rowStep, AVFrame* output);

    DibLayout layout_;
    AVPixelFormat target_ = AV_PIX_FMT_NONE;
    YuvColours colours_;
    int scalerFlags_ = 0;
    SwsContext* scaler_ = nullptr; // the rows between the edge bands, if any
    int mainTop_ = 0;
    int mainRows_ = 0;
    std::vector<EdgeBand> edges_;
    AVFrame* lent_ = nullptr;      // the caller's rows, when the codec takes them as they are
    std::vector<AVFrame*> pictures_;  // converted pictures, when it does not
    size_t replaced_ = 0;          // which picture gets a new buffer next, when all are held
    AVFrame* input_ = nullptr;     // the caller's rows, when converting
    AVFrame* output_ = nullptr;    // the part of the picture converted into at once
    bool flip_ = false;            // converting in memory order into an upside-down picture
};

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_DIB_PICTURE_ADAPTER_H
