#include "previous_movie.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>

namespace {

constexpr char kSuffix[] = ".previous";

// One movie is open at a time, so one previous file is kept at a time.
char asidePath[MAX_PATH + sizeof kSuffix] = {};
bool movedAside = false;
bool pathWasFree = false;

}  // namespace

void setPreviousMovieAside(const char* path) {
    movedAside = false;
    pathWasFree = false;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        pathWasFree = error == ERROR_FILE_NOT_FOUND;
        return;
    }
    // A folder, a device or a read-only file: the open fails as before.
    const size_t length = std::strlen(path);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        length >= MAX_PATH) {
        return;
    }
    std::memcpy(asidePath, path, length);
    std::memcpy(asidePath + length, kSuffix, sizeof kSuffix);
    // Without MOVEFILE_REPLACE_EXISTING: a PATH.previous that a crash left
    // is never lost to this one.
    movedAside = MoveFileExA(path, asidePath, 0) != 0;
}

void restorePreviousMovie(const char* path) {
    if (movedAside) {
        DeleteFileA(path);
        MoveFileExA(asidePath, path, 0);
    } else if (pathWasFree) {
        DeleteFileA(path);
    }
    movedAside = false;
    pathWasFree = false;
}

void dropPreviousMovie() {
    if (movedAside) {
        DeleteFileA(asidePath);
    }
    movedAside = false;
    pathWasFree = false;
}

#else

void setPreviousMovieAside(const char* /*path*/) {}
void restorePreviousMovie(const char* /*path*/) {}
void dropPreviousMovie() {}

#endif
