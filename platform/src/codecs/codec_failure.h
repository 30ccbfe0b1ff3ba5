// A switch that makes every frame given to a codec fail once the codec has
// taken it in, as a codec that breaks down in the middle of a recording
// would. Off unless a test turns it on (setCodecFailure of
// avifile_test_hooks.h).
#ifndef AVIFILE_CODECS_CODEC_FAILURE_H
#define AVIFILE_CODECS_CODEC_FAILURE_H

namespace avifile::codecs {

void setCodecFailing(bool failing);
bool codecFailing();

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_CODEC_FAILURE_H
