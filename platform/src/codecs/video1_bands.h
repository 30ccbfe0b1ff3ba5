// Video 1 frames compressed in horizontal bands at once, one encoder per
// band on its own thread, and joined into one frame.
//
// A Video 1 frame is a run of 4x4 block codes from the bottom-left block
// upwards, row by row, with no header; ffmpeg's encoder ends it with a zero
// code that readers never reach, since they stop after the last block. The
// codes of encoders that each saw one band of the picture, bottom band
// first and without the end codes between them, are the frame of the whole
// picture.
#ifndef AVIFILE_CODECS_VIDEO1_BANDS_H
#define AVIFILE_CODECS_VIDEO1_BANDS_H

#include <cstdint>
#include <span>
#include <vector>

namespace avifile::codecs {

// How many bands: one per core, up to four, each at least 32 rows high.
int video1Bands(int height, int cores);

// Joins the bands' frames, given bottom band first; false when a band's
// frame (but the last's) does not end with the end code.
bool joinVideo1Frames(std::span<const std::span<const uint8_t>> bottomFirst,
                      std::vector<uint8_t>& joined);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_VIDEO1_BANDS_H
