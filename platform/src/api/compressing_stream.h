// A compressing stream over a raw stream: Full Frames, which checks that
// its format is an uncompressed DIB and its samples are frames of that
// format and hands the caller's buffer itself to the container, or a codec
// stream, which opens its encoder with the DIB format, gives the raw stream
// the compressed format and the codec's code, and turns each frame into the
// codec's sample. Everything here runs under the file's mutex.
#ifndef AVIFILE_API_COMPRESSING_STREAM_H
#define AVIFILE_API_COMPRESSING_STREAM_H

#include <cstddef>

#include "api/handles.h"
#include "avifile.h"

namespace avifile::api {

// Makes `stream` compress with the compressor the options name: Full
// Frames for the DIB codes (and none), else a codec stream with its encoder
// created (not yet opened: that waits for the frame format).
HRESULT setUpCompression(StreamObject& stream, const AVICOMPRESSOPTIONS& options);

// Sets the DIB format of the frames. The same format again is accepted; a
// codec stream opens its encoder with a new one, which cannot change once
// frames are written.
HRESULT setCompressingFormat(StreamObject& stream, const void* format, size_t bytes);

// What goes into the file for the caller's buffer.
struct SampleToWrite {
    const void* data = nullptr;
    size_t size = 0;
    bool keyFrame = false;
};

// The sample for a frame of `bytes` bytes: the buffer itself for a raw or
// Full Frames stream, the codec's sample for a codec stream. The sample's
// data stays valid until the stream's next frame.
HRESULT prepareSample(StreamObject& stream, const void* buffer, size_t bytes, DWORD flags,
                      SampleToWrite& sample);

// The sample prepared last did not reach the file: a codec stream goes on
// with a new encoder, so that its next sample does not refer to it.
void noteSampleLost(StreamObject& stream);

}  // namespace avifile::api

#endif  // AVIFILE_API_COMPRESSING_STREAM_H
