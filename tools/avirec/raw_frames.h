// Frames from a file of raw planar samples: for each frame the green, blue
// and red planes (width x height bytes each, top row first), as ffmpeg's
// "gbrp" raw video lays them out.
#ifndef AVIREC_RAW_FRAMES_H
#define AVIREC_RAW_FRAMES_H

#include <memory>
#include <string>

#include "frame_source.h"

// A source over the file's frames, or at most `limit` of them (all when
// `limit` is negative). Null with the reason in `error` when the file cannot
// be read or does not hold whole frames.
std::unique_ptr<FrameSource> openRawGbrpFrames(const std::string& path, int width, int height,
                                               int limit, std::string& error);

#endif  // AVIREC_RAW_FRAMES_H
