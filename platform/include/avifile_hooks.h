// Settings and services of the portable AVIFile layer for host programs:
// how files are written, why a call failed, repairing a cut-off recording,
// joining recordings and the compressors on offer. None of this exists on
// the real platform; the plug-in never uses it. The switches that only tests
// use (refusals, failures, counters) are in avifile_test_hooks.h, and only
// the test build of the library has them.
#ifndef AVIFILE_HOOKS_H
#define AVIFILE_HOOKS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "avifile.h"

#define AVIFILE_HOOK_API __attribute__((visibility("default")))

namespace avifile {

// The environment variable AVIFILE_RIFF_LIMIT (decimal bytes) sets the size
// at which a file's first RIFF (and each later one) is closed and the
// recording goes on in a new extension RIFF; without it, 1 GiB.

// How files opened from now on write large samples. Automatic: whole
// blocks of a large sample go straight to the device (direct I/O, from
// aligned memory), so that a long recording neither waits for the system to
// find fresh page-cache pages nor fills the cache with bytes nobody reads
// again; small writes, file systems that do not take direct I/O (tmpfs, some
// network file systems) and a file being overwritten whose pages the system
// still holds stay buffered. Direct: direct I/O for every large sample
// wherever the file system takes it. Buffered: never. The bytes in the file
// are the same either way. The environment variable AVIFILE_WRITE_MODE
// (auto, direct or buffered) sets it when setWriteMode has not;
// setWriteMode(WriteMode::Unset) goes back to that variable, or to Automatic.
enum class WriteMode { Unset, Automatic, Direct, Buffered };
AVIFILE_HOOK_API void setWriteMode(WriteMode mode);
AVIFILE_HOOK_API WriteMode writeMode();  // never Unset

// The bytes that a file written with the automatic choice takes buffered
// before its large samples go direct (default 2 GiB): short recordings
// stay in the page cache's fast path, long ones leave little of themselves
// there. The environment variable AVIFILE_DIRECT_AFTER (decimal bytes,
// above 0) sets it when setDirectThreshold has not; 0 goes back to that
// variable, or to the default.
AVIFILE_HOOK_API void setDirectThreshold(uint64_t bytes);
AVIFILE_HOOK_API uint64_t directThreshold();

// Durability: files opened from now on are flushed to the device (the data
// reaches stable storage) whenever a stream has advanced by `seconds` of
// media since the last flush, so that a power cut loses at most that much
// of the recording and one frame; by default every second of media
// (kDefaultSyncSeconds). 0 leaves flushing during the recording to the
// system. The environment variable AVIFILE_SYNC_SECONDS (a decimal number
// of seconds) sets it when setSyncInterval has not; a negative value goes
// back to that variable, or to the default.
constexpr double kDefaultSyncSeconds = 1.0;
AVIFILE_HOOK_API void setSyncInterval(double seconds);
AVIFILE_HOOK_API double syncInterval();

// Whether the layer flushes files to the device at all: at every sync
// interval, and while a file is finished, so that a file that closed without
// an error is durable (its data, its indexes and its name in the folder) and
// a power cut between the steps of finishing leaves a file that the repair
// finishes. The environment variable AVIFILE_SYNC=off (or 0) turns every
// flush off, for speed over durability: a power cut may then lose any part
// of a file, finished or not. On unless so set.
AVIFILE_HOOK_API bool syncing();

// Why the last failed call of this thread into the layer failed, in words
// for the user ("the disk is full"); empty when it recorded no reason. A host
// shows it beside its own message. Every call clears it when it begins. The
// release that finishes a file (AVIFileRelease or AVIStreamRelease, which
// return counts) replaces it with finishing's own: a reason exactly when
// the file could not be finished (its indexes, sizes or headers not
// written, or not made durable), none when it was.
AVIFILE_HOOK_API std::string lastFailureReason();

// Finishing a recording whose writer died (killed, crashed, the machine
// stopped), whoever wrote it: the samples stay where they are, byte for
// byte; a chunk cut short and whatever follows the last whole sample are cut
// away, and the indexes and the header fields are written as a finished
// recording has them. A file this layer wrote is finished by its own writer;
// any other AVI file gets the indexes its headers call for (idx1, or the
// large-file extension's for a RIFF after the first). Killed while it runs,
// the file stays readable, and running it again finishes the job; a
// complete file, and one it does not understand, are left as they are.
enum class RepairOutcome {
    Repaired,
    AlreadyComplete,  // nothing to do; the file was not changed
    Refused,          // not a file this layer can repair; it was not changed
    Failed,           // writing failed part-way; the file stays readable
};
struct RepairReport {
    RepairOutcome outcome = RepairOutcome::Refused;
    std::string message;    // for the user: what was done, or why not
    int64_t samples = 0;    // samples the file holds afterwards, of all streams
    int64_t frames = 0;     // of them, frames of its first video stream
    uint64_t bytesCut = 0;  // bytes cut away after the last whole sample
};
struct RepairOptions {
    // Where the repaired file goes, the original left untouched; empty: the
    // file is repaired in place.
    std::string output;
    // For a file whose headers were never written (zero bytes up to its
    // first chunk): a complete file recorded with the same settings, whose
    // headers it takes.
    std::string like;
    // Otherwise what its frames do not tell: the size of uncompressed
    // frames and the frame rate.
    int width = 0;
    int height = 0;
    double fps = 0.0;
};
AVIFILE_HOOK_API RepairReport repairRecording(const char* path,
                                              const RepairOptions& options = {});

// Joining recordings: one movie holding every frame of the inputs in their
// order, each frame's bytes copied as they are (never decoded), inside the
// system where it allows (copy_file_range), with the key-frame flags of the
// inputs' indexes. The inputs must be finished movies of one video stream
// each, agree on the stream format (the same 'strf' bytes, handler, rate and
// scale) and start with a key frame; all of them are read before anything is
// written, and a mismatch is refused naming the input and the field. The
// movie is written as any recording of this layer (its counts current after
// every frame, extension RIFFs past the RIFF limit) at OUTPUT.part, which
// becomes OUTPUT only once it is complete: a join that is refused or fails
// leaves no OUTPUT.part and an existing OUTPUT as it was; one that is killed
// leaves OUTPUT.part, which repairRecording finishes with the frames copied
// so far. The inputs are only read.
enum class JoinOutcome {
    Joined,
    Refused,  // the inputs cannot be joined, or the output not written; nothing was written
    Failed,   // writing failed part-way; nothing was left behind
    Stopped,  // keepGoing said to stop; nothing was left behind
};
struct JoinReport {
    JoinOutcome outcome = JoinOutcome::Refused;
    std::string message;  // for the user: what was done, or why not
    int64_t frames = 0;   // frames in the movie written (or copied before it failed)
    std::string cutOff;   // an input refused because it was never finished, or empty
};
struct JoinOptions {
    // Whether an existing OUTPUT (and an OUTPUT.part left by a join that was
    // killed) may be replaced; the caller asks the user. Otherwise refused.
    bool replace = false;
    // Called after each frame with the frames copied so far and in all;
    // false stops the join. Unset: never stops.
    std::function<bool(int64_t copied, int64_t total)> keepGoing;
};
AVIFILE_HOOK_API JoinReport joinRecordings(const char* output,
                                           const std::vector<std::string>& inputs,
                                           const JoinOptions& options = {});

// A compressor on offer: four-character code, the short name that
// VFW_COMPRESSOR takes, a description for people, and whether decoding gives
// back the exact frames.
struct CompressorDescription {
    uint32_t fourcc;
    std::string shortName;
    std::string description;
    bool lossless;
};

// The compressors that the installed libraries can run, Full Frames first.
AVIFILE_HOOK_API std::vector<CompressorDescription> availableCompressors();

}  // namespace avifile

#endif  // AVIFILE_HOOKS_H
