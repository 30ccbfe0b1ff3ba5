// The fixed-layout records of an AVI file (the main header, the stream
// header, the stream formats, the large-file extension's header and indexes,
// the first RIFF's index): their serialisation, field by field, in file
// order, and beside each the parse that reads it back. The writer, the
// repair and the dump tool all go through these.
#ifndef AVIFILE_CONTAINER_AVI_RECORDS_H
#define AVIFILE_CONTAINER_AVI_RECORDS_H

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "riff/chunk_walker.h"
#include "riff/fourcc.h"

namespace avifile {

// Chunk and list codes.
constexpr uint32_t kRiffId = fourcc("RIFF");
constexpr uint32_t kListId = fourcc("LIST");
constexpr uint32_t kAviType = fourcc("AVI ");
constexpr uint32_t kAviExtensionType = fourcc("AVIX");
constexpr uint32_t kHeaderListType = fourcc("hdrl");
constexpr uint32_t kMainHeaderId = fourcc("avih");
constexpr uint32_t kStreamListType = fourcc("strl");
constexpr uint32_t kStreamHeaderId = fourcc("strh");
constexpr uint32_t kStreamFormatId = fourcc("strf");
constexpr uint32_t kStreamNameId = fourcc("strn");
constexpr uint32_t kSuperIndexId = fourcc("indx");
constexpr uint32_t kExtensionListType = fourcc("odml");
constexpr uint32_t kExtensionHeaderId = fourcc("dmlh");
constexpr uint32_t kMoviListType = fourcc("movi");
constexpr uint32_t kFirstIndexId = fourcc("idx1");
constexpr uint32_t kJunkId = fourcc("JUNK");
constexpr uint32_t kRecordListType = fourcc("rec ");
constexpr uint32_t kInfoListType = fourcc("INFO");
constexpr uint32_t kAudioType = fourcc("auds");

// Main header flags.
constexpr uint32_t kAvifHasIndex = 0x00000010;
constexpr uint32_t kAvifIsInterleaved = 0x00000100;

// idx1 entry flags.
constexpr uint32_t kIndexKeyFrame = 0x00000010;

// Index kinds of the large-file extension.
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;
// In a standard index entry, this bit of the size marks a sample that is
// not a key frame.
constexpr uint32_t kStandardIndexDeltaFrame = 0x80000000u;

// 'avih': 56 bytes.
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
constexpr uint32_t kMainHeaderBytes = 56;

// 'strh': 56 bytes; the frame rectangle is four 16-bit values in the file.
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
constexpr uint32_t kStreamHeaderBytes = 56;

// The older stream header some writers leave: no frame rectangle.
constexpr uint32_t kShortStreamHeaderBytes = 48;

// 'strf' of a video stream: a BITMAPINFOHEADER, 40 bytes, maybe followed
// by a palette or codec data that the stream keeps as they are.
struct BitmapInfoHeader {
    uint32_t size = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
};
constexpr uint32_t kBitmapInfoHeaderBytes = 40;

// 'strf' of an audio stream: the leading fields of a WAVEFORMATEX.
struct WaveFormat {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};
constexpr uint32_t kWaveFormatBytes = 16;

// 'dmlh': the total frame count and reserved room, 248 bytes.
constexpr uint32_t kExtensionHeaderBytes = 248;

// One entry of a stream's super index ('indx'): where one standard index
// chunk is, how large it is (header included) and how many samples of time
// it covers.
struct SuperIndexEntry {
    uint64_t offset = 0;
    uint32_t size = 0;
    uint32_t duration = 0;
};
constexpr uint32_t kSuperIndexHeaderBytes = 24;
constexpr uint32_t kSuperIndexEntryBytes = 16;

// The header of an 'indx' chunk's data.
struct SuperIndexHeader {
    uint16_t longsPerEntry = 4;
    uint8_t subType = 0;
    uint8_t type = kIndexOfIndexes;
    uint32_t entriesInUse = 0;
    uint32_t chunkId = 0;
};

// The header of an 'ixNN' chunk's data.
struct StandardIndexHeader {
    uint16_t longsPerEntry = 2;
    uint8_t subType = 0;
    uint8_t type = kIndexOfChunks;
    uint32_t entriesInUse = 0;
    uint32_t chunkId = 0;
    uint64_t baseOffset = 0;
};

// One sample in a standard index ('ixNN'): its data's offset from the
// index's base and its size with the delta-frame bit.
constexpr uint32_t kStandardIndexHeaderBytes = 24;
constexpr uint32_t kStandardIndexEntryBytes = 8;

// One entry of 'idx1'.
struct FirstIndexEntry {
    uint32_t chunkId = 0;
    uint32_t flags = 0;
    uint32_t offset = 0;  // of the chunk header, from the 'movi' code
    uint32_t size = 0;
};
constexpr uint32_t kFirstIndexEntryBytes = 16;

// Frame checks tell a whole uncompressed frame from one that a power cut
// left torn, zeroed or as the frame of a movie written over. The header's
// recording mark, the data of a 'JUNK' chunk (which every reader skips) in
// the first stream list after its header, in the file's first sector (a
// 'JUNK' chunk between the lists of the header list is one that some
// readers do not take), holds a number
// drawn when the writer began; each frame is followed by a frame check, the
// data of another 'JUNK' chunk: that number and a digest of the frame's
// data (the same in any recording, so that a frame copied from one
// recording into another keeps it).
constexpr uint32_t kRecordingMarkTag = fourcc("frec");
constexpr uint32_t kRecordingMarkBytes = 12;  // the tag, the number

// The header copy, in a 'JUNK' chunk after the 'hdrl' list, starts so.
constexpr uint32_t kHeaderCopyTag = fourcc("fhdr");

struct FrameCheck {
    uint64_t recording = 0;
    uint64_t digest = 0;
};
constexpr uint32_t kFrameCheckTag = fourcc("fchk");
constexpr uint32_t kFrameCheckBytes = 20;  // the tag, the recording, the digest

// The digest of a frame's data.
uint64_t frameDigest(std::span<const uint8_t> frame);
// The same, of the `size` bytes of a frame at `at` of `source`, read a piece
// at a time; nothing when they cannot be read.
std::optional<uint64_t> frameDigest(const ByteSource& source, uint64_t at, uint64_t size);

void serialize(const MainHeader& header, std::vector<uint8_t>& out);
void serialize(const StreamHeader& header, std::vector<uint8_t>& out);
void serializeExtensionHeader(uint32_t totalFrames, std::vector<uint8_t>& out);

// The data of an 'indx' chunk with room for `capacity` entries; the unused
// ones are zero.
void serializeSuperIndex(uint32_t chunkId, std::span<const SuperIndexEntry> entries,
                         uint32_t capacity, std::vector<uint8_t>& out);

// The data of an 'ixNN' chunk, its header then its entries.
struct StandardIndexEntry {
    uint32_t offset = 0;
    uint32_t sizeAndFlag = 0;
};
void serializeStandardIndexHeader(uint32_t chunkId, uint32_t entries, uint64_t baseOffset,
                                  std::vector<uint8_t>& out);
void serialize(const StandardIndexEntry& entry, std::vector<uint8_t>& out);

void serialize(const FirstIndexEntry& entry, std::vector<uint8_t>& out);
void serialize(const BitmapInfoHeader& header, std::vector<uint8_t>& out);
void serialize(const FrameCheck& check, std::vector<uint8_t>& out);
void serializeRecordingMark(uint64_t recording, std::vector<uint8_t>& out);

// The parses: each reads the record from the start of `data` (a chunk's
// data) and gives nothing when `data` is too short for it or the record's
// fixed fields say it is something else.
std::optional<MainHeader> parseMainHeader(std::span<const uint8_t> data);
// A stream header of 48 bytes (no frame rectangle) is read too.
std::optional<StreamHeader> parseStreamHeader(std::span<const uint8_t> data);
std::optional<BitmapInfoHeader> parseBitmapInfoHeader(std::span<const uint8_t> data);
std::optional<WaveFormat> parseWaveFormat(std::span<const uint8_t> data);
std::optional<uint32_t> parseExtensionHeader(std::span<const uint8_t> data);  // dwTotalFrames
// An index of indexes with 4 longs an entry; `capacity` is the entries its
// chunk has room for.
std::optional<SuperIndexHeader> parseSuperIndexHeader(std::span<const uint8_t> data,
                                                      uint32_t* capacity = nullptr);
std::optional<SuperIndexEntry> parseSuperIndexEntry(std::span<const uint8_t> data, uint32_t n);
// An index of chunks with 2 longs an entry, and one entry of it.
std::optional<StandardIndexHeader> parseStandardIndexHeader(std::span<const uint8_t> data);
std::optional<StandardIndexEntry> parseStandardIndexEntry(std::span<const uint8_t> data,
                                                          uint32_t n);
// The data of a 'JUNK' chunk that is a frame check, or a recording mark.
std::optional<FrameCheck> parseFrameCheck(std::span<const uint8_t> data);
std::optional<uint64_t> parseRecordingMark(std::span<const uint8_t> data);
// Entry `n` of an idx1 chunk's data.
std::optional<FirstIndexEntry> parseFirstIndexEntry(std::span<const uint8_t> data, uint32_t n);

}  // namespace avifile

#endif  // AVIFILE_CONTAINER_AVI_RECORDS_H
