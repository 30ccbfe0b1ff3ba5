// Switches of the portable AVIFile layer that only tests use: answering the
// compression dialog, making formats or codecs fail, a lower RIFF limit, and
// counters of what is alive. They are built into the test variant of the
// platform library (and linked into unit tests) only; the library that is
// shipped and installed has none of them.
#ifndef AVIFILE_TEST_HOOKS_H
#define AVIFILE_TEST_HOOKS_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "avifile.h"
#include "avifile_hooks.h"

namespace avifile {

// Answers the compression dialog instead of its stand-in (environment, menu,
// default). The hook fills `options` and returns true for OK, false for
// Cancel. An empty function restores the stand-in.
using SaveOptionsHook = std::function<bool(AVICOMPRESSOPTIONS& options)>;
// The options start as the caller's when they carry AVICOMPRESSF_VALID, else
// as the dialog's defaults (Full Frames). With several streams the hook is
// asked once per stream; a false answer leaves every stream's options as
// they were.
AVIFILE_HOOK_API void setSaveOptionsHook(SaveOptionsHook hook);

// A zeroed block for a hook to put into lpFormat or lpParms, as the dialog
// puts a codec's state there; AVISaveOptionsFree frees it. Blocks from
// anywhere else are never freed by the layer.
AVIFILE_HOOK_API void* allocateOptionsBlock(size_t bytes);

// Makes every AVIStreamSetFormat on a compressing stream fail with `status`
// (as a codec that refuses the format would); AVIERR_OK switches it off.
AVIFILE_HOOK_API void setFormatRefusal(HRESULT status);

// Makes every frame written to a codec stream fail with AVIERR_COMPRESSOR
// after the codec has taken it in, as a codec that breaks down in the middle
// of a recording would; false switches it off.
AVIFILE_HOOK_API void setCodecFailure(bool failing);

// Size at which a file's first RIFF (and each later one) is closed and the
// recording continues in a new extension RIFF, for files opened from now
// on; it wins over AVIFILE_RIFF_LIMIT, and setRiffLimit(0) goes back to that
// variable, or to the container's default (1 GiB) without it. riffLimit()
// is the limit that a file opened now takes.
AVIFILE_HOOK_API void setRiffLimit(uint64_t bytes);
AVIFILE_HOOK_API uint64_t riffLimit();

// The numbers of the recordings begun from now on (the number in a file's
// header that its frame checks carry): `first`, then first + 1 and so on,
// instead of numbers drawn at random, so that files can be compared byte for
// byte; 0 goes back to drawing them.
AVIFILE_HOOK_API void setRecordingNumbers(uint64_t first);

// The file system that the layer's file calls go to from now on (see
// src/riff/file_system.h, which tests include): a disk that fails on cue or
// loses power. Null goes back to the system's calls.
class FileSystem;
AVIFILE_HOOK_API void useFileSystem(FileSystem* replacement);

// AVIFileInit calls not yet matched by AVIFileExit.
AVIFILE_HOOK_API int libraryReferences();

// File and stream objects alive (not yet released to their last reference).
AVIFILE_HOOK_API int liveObjects();

}  // namespace avifile

#endif  // AVIFILE_TEST_HOOKS_H
