// A disk that can lose power, over the layer's file system seam. It passes
// every call on to the system, so the file is written as usual, and logs
// what the calls did to one watched file: its writes, its size changes,
// the flushes of its data and of its folder (which it does not pass on: a
// flush is only noted, which keeps thousands of cuts fast). From the log it
// builds what the disk could hold after a power cut at any point of it: what
// the last completed flush made durable, and each write since applied,
// dropped or torn, chosen per 4 KiB page; a torn page mixes old and new
// 512-byte sectors, optionally with garbage in some; a pending size change
// kept or not; a new file whose folder was never flushed there or not.
// It can also fail calls on cue (a full disk, an I/O error, a failed flush).
#ifndef TESTS_CONTAINER_POWER_CUT_DISK_H
#define TESTS_CONTAINER_POWER_CUT_DISK_H

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "riff/file_system.h"

namespace powercut {

enum class Call { Write, Truncate, DataSync, FolderSync };

// One thing done to the watched file, in the order the calls returned.
struct Operation {
    Call call;
    uint64_t at = 0;             // Write: position; Truncate: the new size
    std::vector<uint8_t> bytes;  // Write: what was written
};

struct CutOptions {
    bool garbage = false;  // torn sectors may hold neither old nor new bytes
};

// What a cut left: no file at all (a new file whose name was never made
// durable), or its bytes.
struct Image {
    bool exists = true;
    std::vector<uint8_t> bytes;
};

class PowerCutDisk : public avifile::FileSystem {
public:
    // Watches the file at `path`; what it holds now (if anything) is durable.
    explicit PowerCutDisk(std::string path);

    // Calls to fail: given the call and, for writes, the position and
    // length, an errno to fail with, or 0 to make the call.
    std::function<int(Call call, uint64_t at, size_t length)> fault;

    const std::vector<Operation>& log() const { return log_; }
    // Operations logged so far: a cut point.
    size_t operations() const { return log_.size(); }
    // Index of the last completed data flush among the first `cut`
    // operations; nothing when there is none.
    std::optional<size_t> lastSync(size_t cut) const;

    // What the disk could hold after a power cut once the first `cut`
    // operations had completed (a cut inside a flush is a cut before it
    // completed).
    Image imageAt(size_t cut, std::mt19937_64& random, const CutOptions& options) const;

    int open(const char* path, int flags, mode_t mode) override;
    int close(int fd) override;
    ssize_t pwritev(int fd, const iovec* vectors, int count, off_t at) override;
    ssize_t pwrite(int fd, const void* data, size_t size, off_t at) override;
    ssize_t pread(int fd, void* data, size_t size, off_t at) override;
    // Copies inside the system are not taken (ENOSYS), so that the bytes of a
    // copy reach the disk as writes that it logs.
    ssize_t copyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) override;
    int ftruncate(int fd, off_t size) override;
    int fallocate(int fd, int mode, off_t at, off_t length) override;
    int fdatasync(int fd) override;
    int fsync(int fd) override;
    int fstat(int fd, struct stat* info) override;
    int stat(const char* path, struct stat* info) override;
    int lstat(const char* path, struct stat* info) override;
    int statx(int fd, unsigned mask, struct statx* info) override;
    int fcntl(int fd, int command, int argument) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int rename(const char* from, const char* to) override;
    int unlink(const char* path) override;
    int syncFileRange(int fd, off_t at, off_t length, unsigned flags) override;
    int fadvise(int fd, off_t at, off_t length, int advice) override;
    std::optional<uint64_t> cachedPages(int fd, uint64_t at, uint64_t length) override;

private:
    bool watched(int fd) const { return fds_.count(fd) != 0; }
    int failure(Call call, uint64_t at, size_t length) const;

    std::string path_;
    bool existed_ = false;          // the file was there before (its name is durable)
    std::vector<uint8_t> initial_;  // and held these bytes
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool known_ = false;  // device_ and inode_ are the watched file's
    std::set<int> fds_;
    std::vector<Operation> log_;
};

// Writes `image` at `path` (or removes the file when it has none).
void materialise(const Image& image, const std::string& path);

}  // namespace powercut

#endif  // TESTS_CONTAINER_POWER_CUT_DISK_H
