// Releasing what a movie holds, shared by closing and by a creation that
// fails part-way.
#ifndef AVI_MOVIE_RELEASE_H
#define AVI_MOVIE_RELEASE_H

#include "avi/avi_plugin.h"

// True while a movie holds any of the writer's handles.
bool movieIsOpen();

// The record of the open movie, remembered so that a record that is not it
// (one already closed, or a foreign pointer) is ignored instead of being
// used; null when no movie is open.
void rememberOpenMovie(MovieRecord* movie);
bool isOpenMovie(const MovieRecord* movie);

// Takes the library reference (AVIFileInit) that releaseWriter gives back.
void acquireLibrary();

// Releases the raw stream, then the compressing stream, then the file (which
// completes it on disk), frees the compression options' blocks and gives back
// the library reference with AVIFileExit when one is held. Leaves the writer
// idle: handles null, formatSet 0, options cleared.
void releaseWriter();

// Frees the record's two texts and then the record; null parts are skipped.
void freeMovieRecord(MovieRecord* movie);

#endif  // AVI_MOVIE_RELEASE_H
