// Stream header of a new movie: type, time base, suggested buffer size,
// frame rectangle and name.
#include "stream_header.h"

#include <cmath>
#include <cstring>

#include "host/host_services.h"

DWORD frameRateFromSpeed(double speed) {
    if (!std::isfinite(speed)) {
        return kDefaultFrameRate;
    }
    const double rounded = speed >= 0.0 ? speed + 0.5 : speed - 0.5;
    // Truncation toward zero keeps [1, 2^31) inside 1..2147483647; anything
    // else (including values whose conversion would be undefined) is refused.
    if (!(rounded >= 1.0 && rounded < 2147483648.0)) {
        return kDefaultFrameRate;
    }
    return static_cast<DWORD>(static_cast<int64_t>(rounded));
}

void copyStreamName(CHAR (&field)[64], const char* name) {
    if (name == nullptr) {
        return;
    }
    const size_t length = std::strlen(name);
    if (length < 2) {
        return;
    }
    const size_t kept = length < sizeof field - 1 ? length : sizeof field - 1;
    std::memcpy(field, name, kept);
}

void fillStreamHeader(AVISTREAMINFOA& info, int32_t width, int32_t height, DWORD imageBytes) {
    ErrorReport* errorReport = nullptr;
    std::memset(&info, 0, sizeof info);
    info.fccType = streamtypeVIDEO;
    info.fccHandler = 0;
    info.dwScale = 1;
    info.dwRate = frameRateFromSpeed(jpmg_GetNumberPreference(
        kMoviePreferenceCategory, kMovieSpeedKey, kDefaultMovieSpeed, &errorReport));
    copyStreamName(info.szName, jpmg_GetStringPreference(kMoviePreferenceCategory,
                                                         kMovieStringKey, kDefaultMovieString,
                                                         &errorReport));
    info.dwSuggestedBufferSize = imageBytes;
    SetRect(&info.rcFrame, 0, 0, width, height);
}
