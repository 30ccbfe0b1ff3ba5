// The layer's side of the test hooks (avifile_test_hooks.h): the switches
// they set and the counters they read. These are internal to the library;
// only the test variant of the platform library and the unit tests link the
// hooks that reach them (src/test_hooks.cpp), so in the shipped library the
// switches keep their defaults.
#ifndef AVIFILE_API_TEST_SWITCHES_H
#define AVIFILE_API_TEST_SWITCHES_H

#include <cstddef>
#include <cstdint>

#include "avifile.h"
#include "avifile_test_hooks.h"

namespace avifile::api {

// The answer that AVISaveOptions takes instead of the dialog's stand-in
// (none when empty).
void setSaveOptionsHook(SaveOptionsHook hook);
// A zeroed block that AVISaveOptionsFree frees.
void* allocateOptionsBlock(size_t bytes);

// The status every AVIStreamSetFormat on a compressing stream fails with
// (AVIERR_OK: none).
void setFormatRefusal(HRESULT status);

// The RIFF limit for files opened from now on; 0 goes back to
// AVIFILE_RIFF_LIMIT or the default.
void setRiffLimit(uint64_t bytes);

// AVIFileInit calls not yet matched by AVIFileExit.
int libraryReferences();

}  // namespace avifile::api

#endif  // AVIFILE_API_TEST_SWITCHES_H
