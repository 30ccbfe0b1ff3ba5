// The names of avirec's inputs as the user gave them, turned into the list
// of files to read: printf-style patterns (frames/f_%04d.png) expanded, and
// the names put in natural order, in which f_2 comes before f_10.
#ifndef AVIREC_INPUT_NAMES_H
#define AVIREC_INPUT_NAMES_H

#include <string>
#include <vector>

// Whether `a` comes before `b` in natural order: runs of digits compare as
// numbers (then the shorter run first, so "f_2" before "f_02"), the rest
// byte by byte.
bool naturalLess(const std::string& a, const std::string& b);

// Expands the patterns among `names` (a name that exists as a file is taken
// as it is) and sorts the result unless `sort` is false. A pattern's numbers
// start at the first of 0 to 4 that names a file and run until a file is
// missing. False with the reason in `error` when a pattern matches nothing.
bool expandInputNames(const std::vector<std::string>& names, bool sort,
                      std::vector<std::string>& files, std::string& error);

#endif  // AVIREC_INPUT_NAMES_H
