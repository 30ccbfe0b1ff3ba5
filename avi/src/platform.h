// The platform's video-file and user libraries: the system's own headers on
// Windows, the portable layer's mirror of them elsewhere.
#ifndef AVI_PLATFORM_H
#define AVI_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <vfw.h>
#else
#include "avifile.h"
#endif

#endif  // AVI_PLATFORM_H
