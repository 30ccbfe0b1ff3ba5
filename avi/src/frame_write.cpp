// Writing one frame: the 24-bit DIB built from the host's bands goes to the
// compressing stream as the next key-frame sample.
#include <cstdint>

#include "avi/avi_plugin.h"
#include "frame_conversion.h"
#include "host/host_services.h"
#include "host_records.h"
#include "movie_release.h"
#include "writer_state.h"

namespace {

const char kCompressorMessage[] =
    "Unable to use specified compressor.  Use either Video 1, Cinepak Codec, or Full Frames.";

// The frame has all three bands with their samples.
bool frameHasBands(const BandStack* frame) {
    if (frame == nullptr || frame->bands == nullptr) {
        return false;
    }
    const int bands[] = {kRedBand, kGreenBand, kBlueBand};
    for (int band : bands) {
        if (frame->bands[band] == nullptr || frame->bands[band]->data == nullptr) {
            return false;
        }
    }
    return true;
}

// Gives the compressing stream the frame's format unless it has accepted it
// already; on refusal the user is told which compressors work.
bool ensureFormat(unsigned char* buffer) {
    if (writerState.formatSet != 0) {
        return true;
    }
    if (AVIStreamSetFormat(writerState.compressedStream, 0, buffer, kBitmapHeaderBytes) != 0) {
        jvis_ShowMessage(kCompressorMessage);
        return false;
    }
    writerState.formatSet = 1;
    return true;
}

}  // namespace

extern "C" {

int32_t aviMovieAddFrame(MovieRecord* movie, int32_t width, int32_t height,
                         const BandStack* frame) {
    if (writerState.rawStream == nullptr || writerState.compressedStream == nullptr) {
        return 0;
    }
    // Only the open movie's record is read. The pixel loops follow the
    // record's size and the buffer the call's, so the two must agree; the
    // stream positions are signed 32-bit.
    uint32_t imageBytes = 0;
    if (!isOpenMovie(movie) || !frameHasBands(frame) || width != movie->width ||
        height != movie->height || !frameImageBytes(width, height, imageBytes) ||
        movie->frameCount < 0 || movie->frameCount == INT32_MAX) {
        return 0;
    }
    unsigned char* buffer = buildFrameBuffer(width, height);
    if (buffer == nullptr) {
        return 0;
    }
    if (!ensureFormat(buffer)) {
        jmsc_HeapFree(buffer);
        return 0;
    }
    fillFrameRows(buffer, rowStride(width), movie, frame);
    const LONG position = movie->frameCount;
    ++movie->frameCount;
    const HRESULT status =
        AVIStreamWrite(writerState.compressedStream, position, 1, buffer + kBitmapHeaderBytes,
                       static_cast<LONG>(imageBytes), AVIIF_KEYFRAME, nullptr, nullptr);
    jmsc_HeapFree(buffer);
    return status == 0 ? 1 : 0;
}

}  // extern "C"
