// The text menu that stands in for the compression dialog on a terminal.
#ifndef AVIFILE_API_COMPRESSOR_MENU_H
#define AVIFILE_API_COMPRESSOR_MENU_H

#include <cstdio>
#include <span>

#include "api/compressor_choice.h"

namespace avifile::api {

// Lists the compressors on `out`, the first (Full Frames) marked as the
// default, and reads answers from `in` until one is valid: Enter takes the
// default, a number picks that compressor, "q" (or the end of the input)
// cancels, and a text such as "MJPG,quality=9000" is read as VFW_COMPRESSOR
// would be.
ChoiceOutcome runCompressorMenu(std::FILE* in, std::FILE* out,
                                std::span<const CompressorDescription> offered,
                                const CompressorLookup& lookup, CompressorChoice& choice);

}  // namespace avifile::api

#endif  // AVIFILE_API_COMPRESSOR_MENU_H
