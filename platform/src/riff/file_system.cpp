// The system's file calls, and the one wrapper per call that the layer uses
// (file_system.h states their rules).
#include "riff/file_system.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace avifile {

namespace {

#ifndef SYS_cachestat
#define SYS_cachestat 451
#endif

class SystemFileSystem final : public FileSystem {
public:
    int open(const char* path, int flags, mode_t mode) override {
        return ::open(path, flags, mode);
    }
    int close(int fd) override { return ::close(fd); }
    ssize_t pwritev(int fd, const iovec* vectors, int count, off_t at) override {
        return ::pwritev(fd, vectors, count, at);
    }
    ssize_t pwrite(int fd, const void* data, size_t size, off_t at) override {
        return ::pwrite(fd, data, size, at);
    }
    ssize_t pread(int fd, void* data, size_t size, off_t at) override {
        return ::pread(fd, data, size, at);
    }
    ssize_t copyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) override {
        return ::copy_file_range(in, inAt, out, outAt, length, 0);
    }
    int ftruncate(int fd, off_t size) override { return ::ftruncate(fd, size); }
    int fallocate(int fd, int mode, off_t at, off_t length) override {
        return ::fallocate(fd, mode, at, length);
    }
    int fdatasync(int fd) override { return ::fdatasync(fd); }
    int fsync(int fd) override { return ::fsync(fd); }
    int fstat(int fd, struct stat* info) override { return ::fstat(fd, info); }
    int stat(const char* path, struct stat* info) override { return ::stat(path, info); }
    int lstat(const char* path, struct stat* info) override { return ::lstat(path, info); }
    int statx(int fd, unsigned mask, struct statx* info) override {
        return ::statx(fd, "", AT_EMPTY_PATH, mask, info);
    }
    int fcntl(int fd, int command, int argument) override {
        return ::fcntl(fd, command, argument);
    }
    off_t lseek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    int rename(const char* from, const char* to) override { return ::rename(from, to); }
    int unlink(const char* path) override { return ::unlink(path); }
    int syncFileRange(int fd, off_t at, off_t length, unsigned flags) override {
        return ::sync_file_range(fd, at, length, flags);
    }
    int fadvise(int fd, off_t at, off_t length, int advice) override {
        return ::posix_fadvise(fd, at, length, advice);
    }
    std::optional<uint64_t> cachedPages(int fd, uint64_t at, uint64_t length) override {
        struct {
            uint64_t offset;
            uint64_t length;
        } range{at, length};
        struct {
            uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
        } counts{};
        if (syscall(SYS_cachestat, fd, &range, &counts, 0) != 0) {
            return std::nullopt;
        }
        return counts.cached;
    }
};

std::atomic<FileSystem*> gReplacement{nullptr};

FileSystem& current() {
    FileSystem* const replacement = gReplacement.load(std::memory_order_acquire);
    return replacement != nullptr ? *replacement : systemFileSystem();
}

// Makes `call` again for as long as it fails with EINTR.
template <typename Call>
auto retried(Call call) {
    for (;;) {
        const auto result = call();
        if (!(result == -1 && errno == EINTR)) {
            return result;
        }
    }
}

}  // namespace

FileSystem& systemFileSystem() {
    static SystemFileSystem system;
    return system;
}

void setFileSystem(FileSystem* replacement) {
    gReplacement.store(replacement, std::memory_order_release);
}

namespace sys {

int open(const char* path, int flags, mode_t mode) {
    return retried([&] { return current().open(path, flags, mode); });
}
int close(int fd) { return current().close(fd); }
ssize_t pwritev(int fd, const iovec* vectors, int count, off_t at) {
    return retried([&] { return current().pwritev(fd, vectors, count, at); });
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
    return retried([&] { return current().pwrite(fd, data, size, at); });
}
ssize_t pread(int fd, void* data, size_t size, off_t at) {
    return retried([&] { return current().pread(fd, data, size, at); });
}
ssize_t copyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) {
    return retried([&] { return current().copyFileRange(in, inAt, out, outAt, length); });
}
int ftruncate(int fd, off_t size) {
    return retried([&] { return current().ftruncate(fd, size); });
}
int fallocate(int fd, int mode, off_t at, off_t length) {
    return retried([&] { return current().fallocate(fd, mode, at, length); });
}
int fdatasync(int fd) {
    return retried([&] { return current().fdatasync(fd); });
}
int fsync(int fd) {
    return retried([&] { return current().fsync(fd); });
}
int fstat(int fd, struct stat* info) {
    return retried([&] { return current().fstat(fd, info); });
}
int stat(const char* path, struct stat* info) {
    return retried([&] { return current().stat(path, info); });
}
int lstat(const char* path, struct stat* info) {
    return retried([&] { return current().lstat(path, info); });
}
int statx(int fd, unsigned mask, struct statx* info) {
    return retried([&] { return current().statx(fd, mask, info); });
}
int fcntl(int fd, int command, int argument) {
    return retried([&] { return current().fcntl(fd, command, argument); });
}
off_t lseek(int fd, off_t offset, int whence) {
    return retried([&] { return current().lseek(fd, offset, whence); });
}
int rename(const char* from, const char* to) {
    return retried([&] { return current().rename(from, to); });
}
int unlink(const char* path) {
    return retried([&] { return current().unlink(path); });
}
int syncFileRange(int fd, off_t at, off_t length, unsigned flags) {
    return current().syncFileRange(fd, at, length, flags);
}
int fadvise(int fd, off_t at, off_t length, int advice) {
    return current().fadvise(fd, at, length, advice);
}
std::optional<uint64_t> cachedPages(int fd, uint64_t at, uint64_t length) {
    return current().cachedPages(fd, at, length);
}

bool readAll(int fd, void* data, size_t size, uint64_t at) {
    auto* target = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = sys::pread(fd, target, size, static_cast<off_t>(at));
        if (got <= 0) {
            if (got == 0) {
                errno = 0;
            }
            return false;
        }
        target += got;
        at += static_cast<uint64_t>(got);
        size -= static_cast<size_t>(got);
    }
    return true;
}

int syncFolderOf(const char* path) {
    const std::string whole(path);
    const size_t slash = whole.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : whole.substr(0, slash);
    const int fd = sys::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int result = sys::fsync(fd);
    const int error = errno;
    sys::close(fd);
    errno = error;
    return result;
}

}  // namespace sys

}  // namespace avifile
