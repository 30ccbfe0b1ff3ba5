// A movie read back in-process with libavformat and libavcodec, as players
// built on them read it: the first video stream's size and every frame it
// decodes to, as packed RGB, top row first (YUV read with the matrix and
// range the stream gives, BT.601 where it gives none).
#ifndef TESTS_CODECS_DECODED_MOVIE_H
#define TESTS_CODECS_DECODED_MOVIE_H

#include <cstdint>
#include <string>
#include <vector>

struct DecodedMovie {
    std::string error;  // empty when the file and every packet decoded
    int width = 0;      // of the stream's format
    int height = 0;
    std::vector<std::vector<uint8_t>> frames;
};

DecodedMovie decodeMovie(const std::string& path);

// The same movie as GStreamer decodes it (gst-launch-1.0: decodebin,
// videoconvert to RGB), frames of `width` x `height` packed as above.
// `missing` says why nothing was decoded when GStreamer or its decoder for
// the codec is not installed; `error` when it could not decode the file.
struct GStreamerMovie {
    std::string missing;
    std::string error;
    std::vector<std::vector<uint8_t>> frames;
};

GStreamerMovie decodeWithGStreamer(const std::string& path, int width, int height);

#endif  // TESTS_CODECS_DECODED_MOVIE_H
