#include "riff/chunk_walker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "riff/file_system.h"
#include "riff/little_endian.h"

namespace avifile {

bool ByteSource::read(uint64_t at, std::vector<uint8_t>& out, size_t count) const {
    out.resize(count);
    return read(at, out.data(), count);
}

bool MemorySource::read(uint64_t at, void* out, size_t count) const {
    if (at > bytes_.size() || count > bytes_.size() - at) {
        return false;
    }
    std::memcpy(out, bytes_.data() + at, count);
    return true;
}

bool FileSource::read(uint64_t at, void* out, size_t count) const {
    return at <= size_ && count <= size_ - at && sys::readAll(fd_, out, count, at);
}

std::unique_ptr<ReadOnlyFile> ReadOnlyFile::open(const char* path, std::string& why) {
    const int fd = sys::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (sys::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = info.st_mode == 0          ? std::strerror(errno)
              : S_ISDIR(info.st_mode) ? "it is a folder"
                                      : "it is not a regular file";
        sys::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ReadOnlyFile>(new ReadOnlyFile(fd, static_cast<uint64_t>(info.st_size)));
}

ReadOnlyFile::~ReadOnlyFile() { sys::close(fd()); }

ChunkWalker::ChunkWalker(const ByteSource& source, uint64_t begin, uint64_t end)
    : source_(source), at_(begin), end_(std::min(end, source.size())) {}

ChunkWalker::Step ChunkWalker::next(Chunk& chunk) {
    uint8_t header[12];
    if (at_ >= end_ || end_ - at_ < 8 || !source_.read(at_, header, 8)) {
        return Step::End;
    }
    LEReader r(header, sizeof header);
    chunk = Chunk{};
    chunk.at = at_;
    chunk.id = r.u32();
    chunk.size = r.u32();
    constexpr uint32_t kRiff = 0x46464952;  // 'RIFF'
    constexpr uint32_t kList = 0x5453494C;  // 'LIST'
    // (Also for a size of 0, which a writer that died left there.)
    if ((chunk.id == kRiff || chunk.id == kList) && end_ - at_ >= 12 &&
        source_.read(at_ + 8, header + 8, 4)) {
        LEReader type(header + 8, 4);
        chunk.listType = type.u32();
    }
    if (chunk.dataEnd() > end_) {
        at_ = end_;
        return Step::Torn;
    }
    at_ = std::min(chunk.end(), end_);
    return Step::Whole;
}

bool forEachChunk(std::span<const uint8_t> listData, std::vector<Chunk>& chunks) {
    const MemorySource source(listData);
    ChunkWalker walker(source, 4, listData.size());
    Chunk chunk;
    for (;;) {
        switch (walker.next(chunk)) {
            case ChunkWalker::Step::Whole:
                chunks.push_back(chunk);
                break;
            case ChunkWalker::Step::Torn:
                return false;
            case ChunkWalker::Step::End:
                return true;
        }
    }
}

}  // namespace avifile
