// The system calls that the layer makes on files, behind one interface that
// tests replace (a disk that fails on cue, a disk that loses power), and one
// wrapper per call that holds the rules for calling it.
//
// FileSystem has one method per call, with the system's own contract: the
// result the call returns, -1 with errno set on failure. The layer never
// calls the methods directly: it calls the wrappers in `sys` below, which
// take the file system in use (the system's own, unless a test installed
// another) and apply, once for every call site, the rule for EINTR:
//
//   - a call that was interrupted before it did anything is made again
//     (open, pwritev, pwrite, pread, copy_file_range, ftruncate, fallocate,
//     fstat, statx, stat, lstat, rename, unlink, fcntl);
//   - close is never made again: the descriptor is gone whatever it says;
//   - fdatasync and fsync are made again only after EINTR; any other
//     failure is final, because the system may have dropped the pages that
//     it could not write, and a second call that succeeds would not mean
//     that they reached the disk. The caller fails the write or the close.
//
// Calls that only advise the system (sync_file_range, posix_fadvise, the
// cache count) go through the interface too, so that a replacement sees
// every call made on a file, but their failures are harmless.
#ifndef AVIFILE_RIFF_FILE_SYSTEM_H
#define AVIFILE_RIFF_FILE_SYSTEM_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace avifile {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual int open(const char* path, int flags, mode_t mode) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t pwritev(int fd, const iovec* vectors, int count, off_t at) = 0;
    virtual ssize_t pwrite(int fd, const void* data, size_t size, off_t at) = 0;
    virtual ssize_t pread(int fd, void* data, size_t size, off_t at) = 0;
    // Copies up to `length` bytes from `in` at *inAt to `out` at *outAt
    // inside the system, advancing both positions by what it copied.
    virtual ssize_t copyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) = 0;
    virtual int ftruncate(int fd, off_t size) = 0;
    virtual int fallocate(int fd, int mode, off_t at, off_t length) = 0;
    // Makes the file's data (and the size that reaching it needs) durable.
    virtual int fdatasync(int fd) = 0;
    // Makes everything about `fd` durable; the layer calls it on a folder,
    // so that a name made in it survives a power cut.
    virtual int fsync(int fd) = 0;
    virtual int fstat(int fd, struct stat* info) = 0;
    virtual int stat(const char* path, struct stat* info) = 0;
    virtual int lstat(const char* path, struct stat* info) = 0;
    virtual int statx(int fd, unsigned mask, struct statx* info) = 0;
    virtual int fcntl(int fd, int command, int argument) = 0;
    virtual off_t lseek(int fd, off_t offset, int whence) = 0;
    virtual int rename(const char* from, const char* to) = 0;
    virtual int unlink(const char* path) = 0;
    // Advice only.
    virtual int syncFileRange(int fd, off_t at, off_t length, unsigned flags) = 0;
    virtual int fadvise(int fd, off_t at, off_t length, int advice) = 0;
    // How many pages of the range the system holds in its cache; nothing
    // when it cannot tell.
    virtual std::optional<uint64_t> cachedPages(int fd, uint64_t at, uint64_t length) = 0;
};

// The system's own calls.
FileSystem& systemFileSystem();

// The file system that the layer's calls go to from now on; null goes back
// to the system's. Only tests call this (through the test hooks), before
// the files they look at are opened.
void setFileSystem(FileSystem* replacement);

// The wrappers, one per call, with the rules stated above.
namespace sys {
int open(const char* path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t pwritev(int fd, const iovec* vectors, int count, off_t at);
ssize_t pwrite(int fd, const void* data, size_t size, off_t at);
ssize_t pread(int fd, void* data, size_t size, off_t at);
ssize_t copyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length);
int ftruncate(int fd, off_t size);
int fallocate(int fd, int mode, off_t at, off_t length);
int fdatasync(int fd);
int fsync(int fd);
int fstat(int fd, struct stat* info);
int stat(const char* path, struct stat* info);
int lstat(const char* path, struct stat* info);
int statx(int fd, unsigned mask, struct statx* info);
int fcntl(int fd, int command, int argument = 0);
off_t lseek(int fd, off_t offset, int whence);
int rename(const char* from, const char* to);
int unlink(const char* path);
int syncFileRange(int fd, off_t at, off_t length, unsigned flags);
int fadvise(int fd, off_t at, off_t length, int advice);
std::optional<uint64_t> cachedPages(int fd, uint64_t at, uint64_t length);

// Reads all `size` bytes at `at` (pread again after a short read). False
// on failure, with errno set; errno 0 when the file ends first.
bool readAll(int fd, void* data, size_t size, uint64_t at);

// Makes the name of `path` in its folder durable (fsync of the folder), so
// that a file made there survives a power cut. -1 with errno on failure.
int syncFolderOf(const char* path);
}  // namespace sys

}  // namespace avifile

#endif  // AVIFILE_RIFF_FILE_SYSTEM_H
