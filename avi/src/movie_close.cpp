// Closing a movie: completes the file and frees the record.
#include "avi/avi_plugin.h"
#include "movie_release.h"
#include "previous_movie.h"

extern "C" {

void aviMovieClose(MovieRecord* movie) {
    // Only the open movie's record is closed: a null, foreign or already
    // closed record is ignored, which keeps the open movie intact and never
    // touches memory that is not a live record.
    if (!isOpenMovie(movie)) {
        return;
    }
    releaseWriter();
    dropPreviousMovie();
    freeMovieRecord(movie);
}

}  // extern "C"
