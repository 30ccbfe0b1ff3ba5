// Release of the writer's handles and of the movie record.
#include "movie_release.h"

#include <cstring>

#include "host/host_services.h"
#include "writer_state.h"

namespace {

// Whether an AVIFileInit is waiting for its AVIFileExit, so that a close
// without an open movie cannot give back a reference it never took.
bool libraryReferenceHeld = false;

// Compared by address only: a record that is not this one is never read.
MovieRecord* openMovie = nullptr;

}  // namespace

void acquireLibrary() {
    AVIFileInit();
    libraryReferenceHeld = true;
}

bool movieIsOpen() {
    return writerState.aviFile != nullptr || writerState.rawStream != nullptr ||
           writerState.compressedStream != nullptr;
}

void rememberOpenMovie(MovieRecord* movie) { openMovie = movie; }

bool isOpenMovie(const MovieRecord* movie) { return movie != nullptr && movie == openMovie; }

void releaseWriter() {
    // The raw stream goes before the compressing stream that lies over it,
    // and both before the file.
    if (writerState.rawStream != nullptr) {
        AVIStreamRelease(writerState.rawStream);
    }
    if (writerState.compressedStream != nullptr) {
        AVIStreamRelease(writerState.compressedStream);
    }
    if (writerState.aviFile != nullptr) {
        AVIFileRelease(writerState.aviFile);
    }
    // The dialog may have allocated format and parameter blocks into the
    // options; clearing them afterwards keeps a later release from freeing
    // them twice.
    AVISaveOptionsFree(1, writerState.optionsList);
    std::memset(&writerState.compressOptions, 0, sizeof writerState.compressOptions);
    if (libraryReferenceHeld) {
        AVIFileExit();
        libraryReferenceHeld = false;
    }
    writerState.rawStream = nullptr;
    writerState.compressedStream = nullptr;
    writerState.aviFile = nullptr;
    writerState.formatSet = 0;
    openMovie = nullptr;
}

void freeMovieRecord(MovieRecord* movie) {
    if (movie == nullptr) {
        return;
    }
    if (movie->fileName != nullptr) {
        jmsc_HeapFree(movie->fileName);
    }
    if (movie->baseName != nullptr) {
        jmsc_HeapFree(movie->baseName);
    }
    jmsc_HeapFree(movie);
}
