// The movie's base name: its output path without the last "." and what
// follows it.
#ifndef AVI_BASE_NAME_H
#define AVI_BASE_NAME_H

// A host-heap copy of `path` cut at its last "." (wherever it lies, also in a
// directory name); the whole path when it has none. Works for paths of any
// length. Null when the copy cannot be allocated.
char* duplicateBaseName(const char* path);

#endif  // AVI_BASE_NAME_H
