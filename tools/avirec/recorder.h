// Driving the plug-in through one recording, as a host does: create, one
// add-frame per frame, close.
#ifndef AVIREC_RECORDER_H
#define AVIREC_RECORDER_H

#include <string>

#include "frame_source.h"
#include "plugin_loader.h"
#include "progress_line.h"

struct RecordingOutcome {
    bool created = false;   // the plug-in opened the movie
    int framesWritten = 0;  // frames for which the plug-in returned 1
    std::string error;      // why the recording stopped early, if it did
};

// Records every frame of `source` into `output`. Stops at the first frame
// that cannot be read or written; the movie is closed in every case, so the
// frames written so far stay in a complete file.
RecordingOutcome recordMovie(const MoviePlugin& plugin, const std::string& output,
                             FrameSource& source, ProgressLine& progress);

#endif  // AVIREC_RECORDER_H
