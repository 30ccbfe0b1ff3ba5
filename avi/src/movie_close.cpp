// Closing a movie: completes the file and frees the record.
#include "avi/avi_plugin.h"
#include "movie_release.h"

extern "C" {

void aviMovieClose(MovieRecord* movie) {
    // A null record is no movie; ignoring it keeps the open one intact.
    if (movie == nullptr) {
        return;
    }
    releaseWriter();
    freeMovieRecord(movie);
}

}  // extern "C"
