// The module-wide state of the one movie that can be open at a time.
#ifndef AVI_WRITER_STATE_H
#define AVI_WRITER_STATE_H

#include <cstdint>

#include "platform.h"

struct WriterState {
    PAVIFILE aviFile;
    PAVISTREAM rawStream;
    PAVISTREAM compressedStream;
    int32_t formatSet;
    uint64_t fileBytes;  // the file's size once closed, with the frames written so far
    AVISTREAMINFOA streamInfo;
    AVICOMPRESSOPTIONS compressOptions;
    LPAVICOMPRESSOPTIONS optionsList[1];
};

extern WriterState writerState;

#endif  // AVI_WRITER_STATE_H
