#include "power_cut_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

namespace powercut {

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kSector = 512;

avifile::FileSystem& real() { return avifile::systemFileSystem(); }

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes of `image` once `op` has been done to them in full.
void apply(const Operation& op, std::vector<uint8_t>& image) {
    if (op.call == Call::Write) {
        if (image.size() < op.at + op.bytes.size()) {
            image.resize(op.at + op.bytes.size(), 0);
        }
        std::copy(op.bytes.begin(), op.bytes.end(), image.begin() + static_cast<ptrdiff_t>(op.at));
    } else if (op.call == Call::Truncate) {
        image.resize(op.at, 0);
    }
}

}  // namespace

PowerCutDisk::PowerCutDisk(std::string path) : path_(std::move(path)) {
    struct stat info {};
    existed_ = ::stat(path_.c_str(), &info) == 0;
    if (existed_) {
        initial_ = readAll(path_);
        device_ = info.st_dev;
        inode_ = info.st_ino;
        known_ = true;
    }
}

std::optional<size_t> PowerCutDisk::lastSync(size_t cut) const {
    for (size_t i = std::min(cut, log_.size()); i > 0; --i) {
        if (log_[i - 1].call == Call::DataSync) {
            return i - 1;
        }
    }
    return std::nullopt;
}

Image PowerCutDisk::imageAt(size_t cut, std::mt19937_64& random, const CutOptions& options) const {
    cut = std::min(cut, log_.size());
    Image image;
    const std::optional<size_t> synced = lastSync(cut);
    const bool nameDurable =
        existed_ || std::any_of(log_.begin(), log_.begin() + static_cast<ptrdiff_t>(cut),
                                [](const Operation& op) { return op.call == Call::FolderSync; });
    if (!nameDurable && (random() & 1) != 0) {
        image.exists = false;
        return image;
    }
    // What the last flush made durable.
    std::vector<uint8_t> durable = initial_;
    const size_t pendingFrom = synced ? *synced + 1 : 0;
    for (size_t i = 0; i < pendingFrom; ++i) {
        apply(log_[i], durable);
    }
    // The size the file would have if every pending change were kept.
    std::vector<uint8_t> logical = durable;
    for (size_t i = pendingFrom; i < cut; ++i) {
        apply(log_[i], logical);
    }
    const uint64_t durableSize = durable.size();
    const uint64_t finalSize = (random() & 1) != 0 ? logical.size() : durableSize;
    // Each pending write reaches the disk page by page: whole, not at all,
    // or torn into old and new sectors. A pending truncation drops what lay
    // beyond it, or not.
    std::vector<uint8_t> disk = durable;
    disk.resize(std::max<uint64_t>(std::max(durableSize, logical.size()), finalSize), 0);
    for (size_t i = pendingFrom; i < cut; ++i) {
        const Operation& op = log_[i];
        if (op.call == Call::Truncate) {
            if ((random() & 1) != 0 && op.at < disk.size()) {
                std::fill(disk.begin() + static_cast<ptrdiff_t>(op.at), disk.end(), uint8_t{0});
            }
            continue;
        }
        if (op.call != Call::Write || op.bytes.empty()) {
            continue;
        }
        const uint64_t end = op.at + op.bytes.size();
        for (uint64_t page = op.at / kPage * kPage; page < end; page += kPage) {
            const int choice = static_cast<int>(random() % 3);  // 0 whole, 1 dropped, 2 torn
            if (choice == 1) {
                continue;
            }
            for (uint64_t sector = page; sector < page + kPage && sector < end; sector += kSector) {
                const uint64_t from = std::max(sector, op.at);
                const uint64_t to = std::min(sector + kSector, end);
                if (from >= to) {
                    continue;
                }
                const int part = choice == 0 ? 0 : static_cast<int>(random() % (options.garbage ? 3 : 2));
                if (part == 1) {
                    continue;  // the sector stays old
                }
                for (uint64_t at = from; at < to; ++at) {
                    disk[at] = part == 0 ? op.bytes[at - op.at] : static_cast<uint8_t>(random());
                }
            }
        }
    }
    disk.resize(finalSize);
    image.bytes = std::move(disk);
    return image;
}

int PowerCutDisk::failure(Call call, uint64_t at, size_t length) const {
    return fault ? fault(call, at, length) : 0;
}

int PowerCutDisk::open(const char* path, int flags, mode_t mode) {
    const int fd = real().open(path, flags, mode);
    if (fd < 0) {
        return fd;
    }
    struct stat info {};
    if (real().fstat(fd, &info) == 0) {
        if (!known_ && path_ == path) {
            device_ = info.st_dev;
            inode_ = info.st_ino;
            known_ = true;
        }
        if (known_ && info.st_dev == device_ && info.st_ino == inode_) {
            fds_.insert(fd);
        }
    }
    return fd;
}

int PowerCutDisk::close(int fd) {
    fds_.erase(fd);
    return real().close(fd);
}

ssize_t PowerCutDisk::pwritev(int fd, const iovec* vectors, int count, off_t at) {
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        length += vectors[i].iov_len;
    }
    if (watched(fd)) {
        if (const int error = failure(Call::Write, static_cast<uint64_t>(at), length)) {
            errno = error;
            return -1;
        }
    }
    const ssize_t written = real().pwritev(fd, vectors, count, at);
    if (written > 0 && watched(fd)) {
        Operation op{Call::Write, static_cast<uint64_t>(at), {}};
        size_t left = static_cast<size_t>(written);
        for (int i = 0; i < count && left > 0; ++i) {
            const size_t take = std::min(left, vectors[i].iov_len);
            const auto* base = static_cast<const uint8_t*>(vectors[i].iov_base);
            op.bytes.insert(op.bytes.end(), base, base + take);
            left -= take;
        }
        log_.push_back(std::move(op));
    }
    return written;
}

ssize_t PowerCutDisk::pwrite(int fd, const void* data, size_t size, off_t at) {
    iovec vector{const_cast<void*>(data), size};
    return pwritev(fd, &vector, 1, at);
}

ssize_t PowerCutDisk::pread(int fd, void* data, size_t size, off_t at) {
    return real().pread(fd, data, size, at);
}

ssize_t PowerCutDisk::copyFileRange(int, off_t*, int, off_t*, size_t) {
    errno = ENOSYS;
    return -1;
}

int PowerCutDisk::ftruncate(int fd, off_t size) {
    if (watched(fd)) {
        if (const int error = failure(Call::Truncate, static_cast<uint64_t>(size), 0)) {
            errno = error;
            return -1;
        }
    }
    const int result = real().ftruncate(fd, size);
    if (result == 0 && watched(fd)) {
        log_.push_back({Call::Truncate, static_cast<uint64_t>(size), {}});
    }
    return result;
}

int PowerCutDisk::fallocate(int fd, int mode, off_t at, off_t length) {
    return real().fallocate(fd, mode, at, length);
}

int PowerCutDisk::fdatasync(int fd) {
    if (!watched(fd)) {
        return real().fdatasync(fd);
    }
    if (const int error = failure(Call::DataSync, 0, 0)) {
        errno = error;
        return -1;
    }
    log_.push_back({Call::DataSync, 0, {}});
    return 0;
}

int PowerCutDisk::fsync(int fd) {
    if (watched(fd)) {
        return fdatasync(fd);
    }
    if (const int error = failure(Call::FolderSync, 0, 0)) {
        errno = error;
        return -1;
    }
    log_.push_back({Call::FolderSync, 0, {}});
    return 0;
}

int PowerCutDisk::fstat(int fd, struct stat* info) { return real().fstat(fd, info); }
int PowerCutDisk::stat(const char* path, struct stat* info) { return real().stat(path, info); }
int PowerCutDisk::lstat(const char* path, struct stat* info) { return real().lstat(path, info); }
int PowerCutDisk::statx(int fd, unsigned mask, struct statx* info) {
    return real().statx(fd, mask, info);
}
int PowerCutDisk::fcntl(int fd, int command, int argument) {
    return real().fcntl(fd, command, argument);
}
off_t PowerCutDisk::lseek(int fd, off_t offset, int whence) {
    return real().lseek(fd, offset, whence);
}
int PowerCutDisk::rename(const char* from, const char* to) { return real().rename(from, to); }
int PowerCutDisk::unlink(const char* path) { return real().unlink(path); }
int PowerCutDisk::syncFileRange(int, off_t, off_t, unsigned) { return 0; }
int PowerCutDisk::fadvise(int fd, off_t at, off_t length, int advice) {
    return real().fadvise(fd, at, length, advice);
}
std::optional<uint64_t> PowerCutDisk::cachedPages(int fd, uint64_t at, uint64_t length) {
    return real().cachedPages(fd, at, length);
}

void materialise(const Image& image, const std::string& path) {
    ::unlink(path.c_str());
    if (!image.exists) {
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.bytes.data()),
              static_cast<std::streamsize>(image.bytes.size()));
}

}  // namespace powercut
