// A reader of our own for the AVI files the layer writes: walks the RIFF
// tree, checks every size, list, pad byte and index entry, and gives back
// the headers and the list of samples. Tests use it to see what is on disk
// independently of the writer's code.
#ifndef TESTS_SUPPORT_RIFF_READER_H
#define TESTS_SUPPORT_RIFF_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace riffcheck {

// A four-character code from text, e.g. code("00db").
uint32_t code(const char* text);
// The text of a code, e.g. "00db".
std::string text(uint32_t code);

struct MainHeader {
    uint32_t microSecPerFrame = 0;
    uint32_t maxBytesPerSec = 0;
    uint32_t paddingGranularity = 0;
    uint32_t flags = 0;
    uint32_t totalFrames = 0;
    uint32_t initialFrames = 0;
    uint32_t streams = 0;
    uint32_t suggestedBufferSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

struct StreamHeader {
    uint32_t type = 0;
    uint32_t handler = 0;
    uint32_t flags = 0;
    uint16_t priority = 0;
    uint16_t language = 0;
    uint32_t initialFrames = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t suggestedBufferSize = 0;
    uint32_t quality = 0;
    uint32_t sampleSize = 0;
    int16_t frameLeft = 0;
    int16_t frameTop = 0;
    int16_t frameRight = 0;
    int16_t frameBottom = 0;
};

struct SuperIndexEntry {
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t duration = 0;
};

// One sample chunk of a movi list, in file order.
struct Sample {
    int stream = -1;
    uint32_t chunkId = 0;
    uint64_t offset = 0;  // of the data (after the chunk header)
    uint32_t size = 0;
    bool keyFrame = false;  // as the indexes say
    int riff = 0;           // which RIFF holds it, 0 for the first
    bool indexed = false;   // listed by idx1 or a standard index
};

struct Stream {
    StreamHeader header;
    std::vector<uint8_t> format;
    bool hasName = false;
    std::string name;            // without the terminating zero
    uint32_t nameChunkSize = 0;  // bytes of the 'strn' data
    bool hasSuperIndex = false;
    uint32_t superIndexChunkId = 0;
    uint32_t superIndexCapacity = 0;  // entries that the chunk has room for
    std::vector<SuperIndexEntry> superIndex;
    std::vector<Sample> samples;  // this stream's samples in order
};

struct File {
    std::vector<std::string> errors;  // empty when every check passed
    bool ok() const { return errors.empty(); }
    std::string describeErrors() const;
    // False when a RIFF, list or chunk size runs past its parent (or the
    // file): the other errors are about content, this one about the layout.
    bool sizesFit = true;

    uint64_t fileSize = 0;
    std::vector<uint32_t> riffTypes;  // 'AVI ', 'AVIX', ...
    std::vector<uint32_t> riffSizes;  // the size fields as written
    MainHeader mainHeader;
    bool hasExtensionHeader = false;
    uint32_t extensionTotalFrames = 0;  // dmlh
    std::vector<Stream> streams;
    std::vector<Sample> samples;  // all streams, file order
    bool hasFirstIndex = false;
    size_t firstIndexEntries = 0;
    size_t standardIndexChunks = 0;
};

struct Options {
    // Accept RIFF and movi sizes of 0 as reaching to the end of the file, as
    // a file being recorded (or left by a crash) has them, and a last chunk
    // cut short by the end of the file.
    bool allowOpenEnded = false;
    // Require every sample to be listed by idx1 or a standard index. Off
    // for files whose last indexes could not be written (a full disk).
    bool requireIndex = true;
};

File parse(const std::vector<uint8_t>& bytes, const Options& options = {});
// Reads the file and parses it; a file that cannot be read gives an error.
File parseFile(const std::string& path, const Options& options = {});
// The whole contents of a file (empty when it cannot be read).
std::vector<uint8_t> readWholeFile(const std::string& path);

// The data of a sample.
std::vector<uint8_t> sampleData(const std::vector<uint8_t>& bytes, const Sample& sample);

}  // namespace riffcheck

#endif  // TESTS_SUPPORT_RIFF_READER_H
