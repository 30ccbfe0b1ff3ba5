// Records a short movie through a compressor: the test picture's frames go
// through the Encoder and its samples into an AVI written by the container.
#ifndef TESTS_CODECS_RECORDING_H
#define TESTS_CODECS_RECORDING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codecs/encoder.h"
#include "test_picture.h"

struct Recording {
    HRESULT created = AVIERR_OK;  // createEncoder
    HRESULT opened = AVIERR_OK;   // Encoder::open
    std::vector<HRESULT> encoded; // Encoder::encode, one per frame
    std::vector<uint8_t> format;  // the compressed format open() gave
    std::vector<bool> keyFrames;  // as encode() flagged them
    std::vector<size_t> sampleBytes;
    bool written = false;         // every sample went into the file
};

// Frames 0..frames-1 of `picture` compressed with `settings` into `path`.
Recording record(const avifile::codecs::EncoderSettings& settings, const TestPicture& picture,
                 int frames, const std::string& path);

// The same with the frames that `frameAt(i)` makes, in `picture`'s format.
Recording record(const avifile::codecs::EncoderSettings& settings, const TestPicture& picture,
                 int frames, const std::function<std::vector<uint8_t>(int)>& frameAt,
                 const std::string& path);

// The BITMAPINFOHEADER at the start of a compressed format.
BITMAPINFOHEADER formatHeader(const std::vector<uint8_t>& format);

// A four-character code as text, e.g. "MJPG".
std::string fourccText(uint32_t fourcc);

#endif  // TESTS_CODECS_RECORDING_H
