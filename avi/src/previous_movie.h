// The file that was at a movie's path before the movie was created there.
// On Windows the platform's AVIFile truncates the path when it opens it, and
// a creation that fails after that (the dialog cancelled, a compressor that
// cannot be used) leaves a file of no frames in its place. So the previous
// file is moved aside in the same folder, as PATH.previous, until the movie
// really starts, and put back when the creation fails. Elsewhere the
// platform layer keeps the previous file itself until the first frame, and
// these do nothing.
#ifndef AVI_PREVIOUS_MOVIE_H
#define AVI_PREVIOUS_MOVIE_H

// Before the file is opened: moves a regular, writable file at `path` to
// PATH.previous when no file has that name yet (otherwise it stays, and the
// platform writes over it as it always did), or notes that `path` was free.
void setPreviousMovieAside(const char* path);

// After a creation failed: removes what it left at `path` and puts the
// previous file back; a path that was free is left free.
void restorePreviousMovie(const char* path);

// Once the movie has started (its first frame written, or the movie closed):
// the previous file is removed.
void dropPreviousMovie();

#endif  // AVI_PREVIOUS_MOVIE_H
