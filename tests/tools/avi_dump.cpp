// Prints an AVI file's headers as "name: value" lines: the main header
// (avih.*), the first stream's header (strh.*), format (strf.*) and name
// (strn), the OpenDML header (dmlh.*), read with the layer's own records'
// parses as the repair reads them; then, from the tests' own RIFF reader, the
// RIFF segments, whether every size fits, and what the indexes and the movi
// lists hold. The Windows checks compare a file written by Wine's AVIFile
// with one written by our layer through these lines.
//
//   avi_dump FILE.avi
//
// Exit status 0 when the file could be read (its headers are printed even
// when the reader found faults; "riff.checks" names the first), 1 when it
// could not, 2 for bad arguments.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "container/avi_records.h"
#include "container/recovery.h"
#include "riff/chunk_walker.h"
#include "support/riff_reader.h"

namespace {

// A four-character code as text, a zero byte shown as a space.
std::string fourcc(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
        out += c == 0 ? ' ' : static_cast<char>(c);
    }
    return out;
}

using Lines = std::map<std::string, std::string>;

void mainHeader(const avifile::MainHeader& h, Lines& out) {
    out["avih.dwMicroSecPerFrame"] = std::to_string(h.microSecPerFrame);
    out["avih.dwMaxBytesPerSec"] = std::to_string(h.maxBytesPerSec);
    out["avih.dwPaddingGranularity"] = std::to_string(h.paddingGranularity);
    out["avih.dwFlags"] = std::to_string(h.flags);
    out["avih.dwTotalFrames"] = std::to_string(h.totalFrames);
    out["avih.dwInitialFrames"] = std::to_string(h.initialFrames);
    out["avih.dwStreams"] = std::to_string(h.streams);
    out["avih.dwSuggestedBufferSize"] = std::to_string(h.suggestedBufferSize);
    out["avih.dwWidth"] = std::to_string(h.width);
    out["avih.dwHeight"] = std::to_string(h.height);
}

void streamLines(const avifile::recovery::FoundStream& s, const riffcheck::Stream& checked,
                 Lines& out) {
    const avifile::StreamHeader& h = s.header;
    out["strh.fccType"] = fourcc(h.type);
    out["strh.fccHandler"] = fourcc(h.handler);
    out["strh.dwFlags"] = std::to_string(h.flags);
    out["strh.wPriority"] = std::to_string(h.priority);
    out["strh.wLanguage"] = std::to_string(h.language);
    out["strh.dwInitialFrames"] = std::to_string(h.initialFrames);
    out["strh.dwScale"] = std::to_string(h.scale);
    out["strh.dwRate"] = std::to_string(h.rate);
    out["strh.dwStart"] = std::to_string(h.start);
    out["strh.dwLength"] = std::to_string(h.length);
    out["strh.dwSuggestedBufferSize"] = std::to_string(h.suggestedBufferSize);
    out["strh.dwQuality"] = std::to_string(static_cast<int32_t>(h.quality));
    out["strh.dwSampleSize"] = std::to_string(h.sampleSize);
    out["strh.rcFrame"] = std::to_string(h.frameLeft) + "," + std::to_string(h.frameTop) + "," +
                          std::to_string(h.frameRight) + "," + std::to_string(h.frameBottom);

    out["strf.bytes"] = std::to_string(s.format.size());
    if (const auto f = avifile::parseBitmapInfoHeader(s.format)) {
        out["strf.biSize"] = std::to_string(f->size);
        out["strf.biWidth"] = std::to_string(f->width);
        out["strf.biHeight"] = std::to_string(f->height);
        out["strf.biPlanes"] = std::to_string(f->planes);
        out["strf.biBitCount"] = std::to_string(f->bitCount);
        out["strf.biCompression"] = std::to_string(f->compression);
        out["strf.biSizeImage"] = std::to_string(f->sizeImage);
        out["strf.biXPelsPerMeter"] = std::to_string(f->xPelsPerMeter);
        out["strf.biYPelsPerMeter"] = std::to_string(f->yPelsPerMeter);
        out["strf.biClrUsed"] = std::to_string(f->clrUsed);
        out["strf.biClrImportant"] = std::to_string(f->clrImportant);
    }
    if (checked.hasName) {
        out["strn"] = checked.name;
        out["strn.bytes"] = std::to_string(checked.nameChunkSize);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: avi_dump FILE.avi\n");
        return 2;
    }
    const std::vector<uint8_t> bytes = riffcheck::readWholeFile(argv[1]);
    if (bytes.empty()) {
        std::fprintf(stderr, "avi_dump: cannot read %s, or it is empty\n", argv[1]);
        return 1;
    }
    const riffcheck::File file = riffcheck::parse(bytes);
    const avifile::MemorySource source(bytes);
    avifile::recovery::Survey headers;
    std::string why;
    avifile::recovery::readHeaders(source, headers, why);

    Lines out;
    mainHeader(headers.main, out);
    if (!headers.streams.empty()) {
        streamLines(headers.streams.front(),
                    file.streams.empty() ? riffcheck::Stream{} : file.streams.front(), out);
    }
    // (Not a 'JUNK' chunk laid out as the OpenDML list, kept for it.)
    const bool extension = headers.extensionAt != 0 &&
                           std::memcmp(bytes.data() + headers.extensionListAt, "LIST", 4) == 0;
    if (extension) {
        const auto total = avifile::parseExtensionHeader(
            std::span<const uint8_t>(bytes).subspan(static_cast<size_t>(headers.extensionAt)));
        out["dmlh.dwTotalFrames"] = std::to_string(total.value_or(0));
    }
    std::string segments;
    for (const uint32_t type : file.riffTypes) {
        std::string name = fourcc(type);
        name.erase(name.find_last_not_of(' ') + 1);
        segments += (segments.empty() ? "" : " ") + name;
    }
    out["riff.segments"] = segments;
    out["riff.sizesAgree"] = file.sizesFit ? "1" : "0";
    out["riff.checks"] = file.ok() ? "ok"
                                   : file.errors.front() + " (" +
                                         std::to_string(file.errors.size()) + " in all)";
    out["idx1.entries"] = std::to_string(file.firstIndexEntries);
    size_t superIndexes = 0;
    for (const riffcheck::Stream& stream : file.streams) {
        superIndexes += stream.hasSuperIndex ? 1 : 0;
    }
    out["indx.count"] = std::to_string(superIndexes);
    size_t frameChunks = 0;
    for (const riffcheck::Sample& sample : file.samples) {
        const uint32_t kind = sample.chunkId >> 16;
        frameChunks += kind == ('d' | 'b' << 8) || kind == ('d' | 'c' << 8) ? 1 : 0;
    }
    out["movi.frameChunks"] = std::to_string(frameChunks);

    for (const auto& [name, value] : out) {
        std::printf("%s: %s\n", name.c_str(), value.c_str());
    }
    return 0;
}
