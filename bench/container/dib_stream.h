// The stream that the container benchmark and the soak writer record:
// 24-bit uncompressed bottom-up frames, 1920x1080 unless told otherwise.
#ifndef BENCH_CONTAINER_DIB_STREAM_H
#define BENCH_CONTAINER_DIB_STREAM_H

#include <cstddef>

#include "container/avi_writer.h"

namespace dibstream {

constexpr int kFullHdWidth = 1920;
constexpr int kFullHdHeight = 1080;

// Bytes of one frame: rows padded to whole 32-bit words.
constexpr size_t frameBytes(int width, int height) {
    return (static_cast<size_t>(width) * 3 + 3) / 4 * 4 * static_cast<size_t>(height);
}

// Adds a stream of width x height frames to `writer` at `rate` frames per
// second under `name` and sets its format; `stream` gets the stream's
// number. Returns what setting the format returned.
HRESULT addStream(avifile::AviWriter& writer, int width, int height, DWORD rate,
                  const char* name, int& stream);

}  // namespace dibstream

#endif  // BENCH_CONTAINER_DIB_STREAM_H
