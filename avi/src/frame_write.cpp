// Writing one frame: the 24-bit DIB built from the host's bands goes to the
// compressing stream as the next key-frame sample.
#include <cstdint>

#include "avi/avi_plugin.h"
#include "frame_conversion.h"
#include "host/host_services.h"
#include "host_records.h"
#include "movie_release.h"
#include "previous_movie.h"
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

#ifdef _WIN32
// The platform's AVIFile keeps the file's positions and sizes in signed 32
// bits: a file that grows past 2 GiB gets wrapped sizes and loses frames
// written before. A frame that would take the closed file (headers, every
// sample as a chunk, the index written at close) past this is refused; the
// limit leaves 1 MiB below the largest size that the platform writes right.
#ifndef AVI_FILE_BYTE_LIMIT
#define AVI_FILE_BYTE_LIMIT (2147483647ULL - (1ULL << 20))
#endif
constexpr uint64_t kFileByteLimit = AVI_FILE_BYTE_LIMIT;
#else
// The platform layer writes OpenDML indexes past the first RIFF.
constexpr uint64_t kFileByteLimit = UINT64_MAX;
#endif

// The headers before the first sample (the platform writes 2 KiB), counted
// with room to spare; a sample's chunk header; an index entry.
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kChunkHeaderBytes = 8;
constexpr uint64_t kIndexEntryBytes = 16;

// The closed file's size with one more sample of at most `bytes` after the
// `frames` written so far.
uint64_t fileBytesWith(uint64_t bytes, int32_t frames) {
    return kHeaderBytes + writerState.fileBytes + kChunkHeaderBytes + bytes + (bytes & 1) +
           kChunkHeaderBytes + kIndexEntryBytes * (static_cast<uint64_t>(frames) + 1);
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
    // A compressed sample is taken to be as large as the frame it came
    // from until the stream says what it wrote.
    if (kFileByteLimit != UINT64_MAX && fileBytesWith(imageBytes, movie->frameCount) > kFileByteLimit) {
        jmsc_HeapFree(buffer);
        return 0;
    }
    fillFrameRows(buffer, rowStride(width), movie, frame);
    const LONG position = movie->frameCount;
    ++movie->frameCount;
    LONG bytesWritten = 0;
    const HRESULT status =
        AVIStreamWrite(writerState.compressedStream, position, 1, buffer + kBitmapHeaderBytes,
                       static_cast<LONG>(imageBytes), AVIIF_KEYFRAME, nullptr, &bytesWritten);
    jmsc_HeapFree(buffer);
    if (status != 0) {
        return 0;
    }
    const uint64_t sample = bytesWritten > 0 ? static_cast<uint64_t>(bytesWritten) : imageBytes;
    writerState.fileBytes += kChunkHeaderBytes + sample + (sample & 1);
    dropPreviousMovie();
    return 1;
}

}  // extern "C"
