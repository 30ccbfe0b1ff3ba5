// Frames from images and streams that FFmpeg's libraries demux and decode
// (PNG, JPEG, BMP, PPM, YUV4MPEG2, NUT, concatenated images, ...): every
// frame of every input in turn, converted to planar RGB.
#ifndef AVIREC_IMAGE_FRAMES_H
#define AVIREC_IMAGE_FRAMES_H

#include <memory>
#include <string>
#include <vector>

#include "frame_source.h"

// A source over the frames of `paths` ("-" is standard input, and then the
// only input), each opened when its frames are reached; every frame must have
// the first frame's size. Null with the reason in `error`.
std::unique_ptr<FrameSource> openDecodedFrames(const std::vector<std::string>& paths,
                                               std::string& error);

#endif  // AVIREC_IMAGE_FRAMES_H
