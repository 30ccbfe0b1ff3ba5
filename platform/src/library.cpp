// The shared AVIFile library is the internal archive linked whole; this file
// only gives the library a translation unit of its own.
