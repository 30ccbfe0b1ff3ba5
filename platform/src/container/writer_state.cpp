// Lengths and durations of a stream.
#include "container/writer_state.h"

#include <algorithm>

namespace avifile {

uint32_t streamLength(const StreamState& stream) {
    const uint64_t length = stream.info.dwSampleSize > 0
                                ? stream.bytes / stream.info.dwSampleSize
                                : static_cast<uint64_t>(stream.chunks);
    return static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
}

double streamSeconds(const StreamState& stream) {
    if (stream.info.dwRate == 0) {
        return 0.0;
    }
    return static_cast<double>(streamLength(stream)) * stream.info.dwScale /
           stream.info.dwRate;
}

}  // namespace avifile
