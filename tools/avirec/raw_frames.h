// Raw frames from a file, a FIFO, a pipe or standard input, read one frame
// at a time until the input ends, so that neither the frame count nor the
// input's size need be known first.
#ifndef AVIREC_RAW_FRAMES_H
#define AVIREC_RAW_FRAMES_H

#include <memory>
#include <string>

#include "frame_source.h"

// A source over the raw frames of `format` at `path` ("-": standard input),
// at most `limit` of them (all when `limit` is negative). Null with the
// reason in `error` when the input cannot be opened or is a device or folder.
std::unique_ptr<FrameSource> openRawFrames(const std::string& path, const std::string& format,
                                           int width, int height, int limit, std::string& error);

#endif  // AVIREC_RAW_FRAMES_H
