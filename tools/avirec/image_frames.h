// Frames from image files (PNG, JPEG, BMP, PPM and whatever else FFmpeg's
// libraries read), one frame per file, decoded to planar RGB.
#ifndef AVIREC_IMAGE_FRAMES_H
#define AVIREC_IMAGE_FRAMES_H

#include <memory>
#include <string>
#include <vector>

#include "frame_source.h"

// Decodes the first picture of `path` into `frame`, at the picture's size.
// False with a message for the user in `error`.
bool decodeImage(const std::string& path, PlanarFrame& frame, std::string& error);

// A source over `paths`; the movie takes the first image's size (decoded
// now), and every later image must have the same size.
std::unique_ptr<FrameSource> openImageFrames(const std::vector<std::string>& paths,
                                             std::string& error);

#endif  // AVIREC_IMAGE_FRAMES_H
