// Driving the plug-in through one recording, as a host does: create, one
// add-frame per frame, close.
#ifndef AVIREC_RECORDER_H
#define AVIREC_RECORDER_H

#include <cstdio>
#include <string>

#include "frame_source.h"
#include "plugin_loader.h"
#include "progress_line.h"
#include "progress_report.h"

struct RecordingOutcome {
    bool created = false;   // the plug-in opened the movie
    int framesWritten = 0;  // frames for which the plug-in returned 1
    int stoppedBy = 0;      // the signal that stopped the recording, or 0
    std::string error;      // why the recording stopped early, if it did
    std::string finishError;  // why closing the movie failed, if it did
    bool copyFailed = false;  // a frame could not be written to the raw copy
};

// Records every frame of `source` into `output`. The first frame is read
// before the movie is created, which takes its size; nothing is created when
// there is no frame. Stops at the first frame that cannot be read or
// written, or when a stop signal came; the movie is closed in every case, so
// the frames written so far stay in a complete file (unless finishing it
// fails, which `finishError` says). Each frame written
// also goes to `rawCopy` as rgb24 when that is not null.
RecordingOutcome recordMovie(const MoviePlugin& plugin, const std::string& output,
                             FrameSource& source, ProgressLine& progress,
                             ProgressReport& report, std::FILE* rawCopy);

#endif  // AVIREC_RECORDER_H
