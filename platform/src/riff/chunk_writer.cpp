// The RIFF chunk helper.
#include "riff/chunk_writer.h"

#include "riff/little_endian.h"

namespace avifile {

namespace {

const uint8_t kPadByte = 0;

// A chunk's 8-byte header: its id and the size of its data.
void fillChunkHeader(uint32_t id, uint32_t size, uint8_t (&header)[8]) {
    storeLE32(header, id);
    storeLE32(header + 4, size);
}

// Appends a chunk or list header; `token` then marks where it starts.
ChunkStatus appendHeader(ByteSink& sink, const uint8_t* header, size_t size, ChunkToken& token) {
    const ConstBuffer part{header, size};
    const uint64_t position = sink.size();
    if (!sink.append({&part, 1})) {
        return ChunkStatus::writeFailed;
    }
    token.position = position;
    return ChunkStatus::ok;
}

}  // namespace

ChunkStatus ChunkWriter::begin(uint32_t id, ChunkToken& token, uint32_t placeholderSize) {
    uint8_t header[8];
    fillChunkHeader(id, placeholderSize, header);
    return appendHeader(sink_, header, sizeof header, token);
}

ChunkStatus ChunkWriter::beginList(uint32_t id, uint32_t listType, ChunkToken& token,
                                   uint32_t placeholderSize) {
    uint8_t header[12];
    storeLE32(header, id);
    storeLE32(header + 4, placeholderSize);
    storeLE32(header + 8, listType);
    return appendHeader(sink_, header, sizeof header, token);
}

namespace {

ChunkStatus writeSizeField(ByteSink& sink, const ChunkToken& token, uint64_t dataBytes) {
    uint8_t field[4];
    storeLE32(field, static_cast<uint32_t>(dataBytes));
    return sink.writeAt(token.position + 4, field, sizeof field) ? ChunkStatus::ok
                                                                 : ChunkStatus::writeFailed;
}

}  // namespace

ChunkStatus ChunkWriter::patchSize(const ChunkToken& token) {
    return setSize(token, sink_.size() - (token.position + 8));
}

ChunkStatus ChunkWriter::setSize(const ChunkToken& token, uint64_t dataBytes) {
    if (dataBytes > kMaxChunkSize) {
        return ChunkStatus::tooLarge;
    }
    return writeSizeField(sink_, token, dataBytes);
}

// The size field counts the data without the pad byte.
ChunkStatus ChunkWriter::end(const ChunkToken& token) {
    const uint64_t dataBytes = sink_.size() - (token.position + 8);
    if (dataBytes > kMaxChunkSize) {
        return ChunkStatus::tooLarge;
    }
    if ((dataBytes & 1) != 0) {
        const ConstBuffer pad{&kPadByte, 1};
        if (!sink_.append({&pad, 1})) {
            return ChunkStatus::writeFailed;
        }
    }
    return writeSizeField(sink_, token, dataBytes);
}

ChunkStatus ChunkWriter::appendChunk(uint32_t id, std::span<const ConstBuffer> parts) {
    uint64_t dataBytes = 0;
    for (const ConstBuffer& part : parts) {
        dataBytes += part.size;
    }
    if (dataBytes > kMaxChunkSize) {
        return ChunkStatus::tooLarge;
    }
    uint8_t header[8];
    fillChunkHeader(id, static_cast<uint32_t>(dataBytes), header);

    // Header, data and pad go to the sink together: one call, so that a
    // failure never leaves half a chunk behind.
    constexpr size_t kInlineParts = 6;
    ConstBuffer inlineParts[kInlineParts];
    std::vector<ConstBuffer> manyParts;
    ConstBuffer* all = inlineParts;
    const size_t count = parts.size() + 2;
    if (count > kInlineParts) {
        manyParts.resize(count);
        all = manyParts.data();
    }
    size_t used = 0;
    all[used++] = ConstBuffer{header, sizeof header};
    for (const ConstBuffer& part : parts) {
        if (part.size > 0) {
            all[used++] = part;
        }
    }
    if ((dataBytes & 1) != 0) {
        all[used++] = ConstBuffer{&kPadByte, 1};
    }
    return sink_.append({all, used}) ? ChunkStatus::ok : ChunkStatus::writeFailed;
}

ChunkStatus ChunkWriter::appendChunk(uint32_t id, const FileRange& data) {
    if (data.size > kMaxChunkSize) {
        return ChunkStatus::tooLarge;
    }
    uint8_t header[8];
    fillChunkHeader(id, static_cast<uint32_t>(data.size), header);
    const ConstBuffer head{header, sizeof header};
    const ConstBuffer pad{&kPadByte, (data.size & 1) != 0 ? size_t{1} : size_t{0}};
    return sink_.appendCopy({&head, 1}, data, {&pad, 1}) ? ChunkStatus::ok
                                                         : ChunkStatus::writeFailed;
}

ChunkStatus ChunkWriter::appendChunk(uint32_t id, const void* data, size_t bytes) {
    const ConstBuffer part{data, bytes};
    return appendChunk(id, {&part, 1});
}

}  // namespace avifile
