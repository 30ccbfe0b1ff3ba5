// The stream that the container benchmark and the soak writer record:
// 1920x1080 24-bit uncompressed bottom-up frames, rows of 5760 bytes (no
// padding).
#ifndef BENCH_CONTAINER_FULL_HD_STREAM_H
#define BENCH_CONTAINER_FULL_HD_STREAM_H

#include <cstddef>

#include "container/avi_writer.h"

namespace fullhd {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kRowBytes = size_t{kWidth} * 3;
constexpr size_t kFrameBytes = kRowBytes * kHeight;

// Adds the stream to `writer` at `rate` frames per second under `name` and
// sets its format; `stream` gets the stream's number. Returns what setting
// the format returned.
HRESULT addStream(avifile::AviWriter& writer, DWORD rate, const char* name, int& stream);

}  // namespace fullhd

#endif  // BENCH_CONTAINER_FULL_HD_STREAM_H
