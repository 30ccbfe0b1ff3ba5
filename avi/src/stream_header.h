// The stream header that creation fills before it creates the video stream,
// with the frame rate and stream name taken from the host's preferences.
#ifndef AVI_STREAM_HEADER_H
#define AVI_STREAM_HEADER_H

#include <cstdint>

#include "platform.h"

// Preference category and keys, and their defaults.
constexpr const char* kMoviePreferenceCategory = "vantorel_movies";
constexpr const char* kMovieSpeedKey = "moviespeed";
constexpr const char* kMovieStringKey = "moviestring";
constexpr double kDefaultMovieSpeed = 15.0;
constexpr DWORD kDefaultFrameRate = 15;
constexpr const char* kDefaultMovieString = "BRELK";

// The frames per second for a "moviespeed" value: rounded half away from
// zero. A value that is not finite, or that rounds below 1 or above
// 2147483647, gives the default rate instead, so that the file always has a
// usable time base.
DWORD frameRateFromSpeed(double speed);

// Copies a "moviestring" value into the stream's 64-byte name field, which
// must already be zero: nothing for a null, empty or one-character text,
// otherwise at most 63 characters, so that the field keeps a terminating zero.
void copyStreamName(CHAR (&field)[64], const char* name);

// Clears `info` and fills it for a video stream of the given size, reading
// the two preferences. `imageBytes` is the size of one uncompressed frame.
void fillStreamHeader(AVISTREAMINFOA& info, int32_t width, int32_t height, DWORD imageBytes);

#endif  // AVI_STREAM_HEADER_H
