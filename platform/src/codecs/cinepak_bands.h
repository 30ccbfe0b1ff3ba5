// Cinepak frames compressed in horizontal bands at once, one encoder per
// band on its own thread, and joined into one frame.
//
// ffmpeg's Cinepak encoder runs on one core at a few frames per second at
// 640x480. A Cinepak frame is a header followed by strips, each with its
// own codebooks and its own height (the encoder writes strip positions
// relative to the strip before), so the strips of encoders that each saw
// one band of the picture, put one after the other under a header for the
// whole frame, are the frame of the whole picture. Key frames come from
// each encoder's frame counter, so all bands agree on them.
#ifndef AVIFILE_CODECS_CINEPAK_BANDS_H
#define AVIFILE_CODECS_CINEPAK_BANDS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace avifile::codecs {

// How many bands a frame of this height is compressed in: with more than
// one core, three bands of one strip each, so that the frame has the three
// strips a single encoder would give it (and that old decoders take at
// most): the same work, shared between the cores. One band (of three
// strips) on one core or for frames under 96 rows.
int cinepakBands(int height, int cores);

// The first row of each band, and its height; every band but the last a
// multiple of four rows (the codec's block size).
struct Band {
    int top;
    int rows;
};
std::vector<Band> splitIntoBands(int height, int bands);

// Joins the bands' frames, top band first, into one frame of width x height;
// false when a band's frame is malformed or the result too large.
bool joinCinepakFrames(std::span<const std::span<const uint8_t>> bands, bool keyFrame, int width,
                       int height, std::vector<uint8_t>& joined);

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CINEPAK_BANDS_H
