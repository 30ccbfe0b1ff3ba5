// Fuzz target: sequences of calls on the plug-in's five entry points, as a
// host (well-behaved or not) might make them. The input is read as a script:
// creates with sizes from small to absurd and a compression dialog answer
// each (any compressor on offer, Cancel, odd settings), frames of the
// movie's size or another, frames with bands missing, closes, calls with no
// movie, and failures switched on in the host heap, the codec and the file
// layout. Besides the sanitizers' findings, each step's result must follow
// the entry points' contract, every completed file must hold the frames that
// were accepted, and after each input the host heap and the platform layer
// must be as they were before it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_plugin.h"
#include "avifile_test_hooks.h"
#include "fuzz_check.h"
#include "host/toolkit.h"

namespace {

// The script's bytes; reads past the end give zeros, so every input is a
// complete script.
class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Where the movies go: a fresh folder, in memory when /dev/shm is there.
const std::string& folder() {
    static const std::string path = [] {
        std::string base = "/tmp";
        struct stat info {};
        if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0) {
            base = "/dev/shm";
        }
        std::string pattern = base + "/avi-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "cannot make a folder in %s", base.c_str());
        return pattern;
    }();
    return path;
}

// The movie names the script can pick; the last two cannot be created.
const char* const kNames[] = {"m.avi", "take.1.avi", "noextension", ".avi", "missing/m.avi", ""};
constexpr int kCreatableNames = 4;

void removeMovies() {
    for (int i = 0; i < kCreatableNames; ++i) {
        unlink((folder() + "/" + kNames[i]).c_str());
    }
}

void removeFolder() {
    removeMovies();
    rmdir(folder().c_str());
}

// A frame dimension: mostly small, sometimes one that no frame can have or
// that no buffer could hold.
int32_t dimension(Script& script) {
    static const int32_t kOdd[] = {0,     -1,     -64,     INT32_MIN, INT32_MAX, 65536,
                                   40000, 100000, 1 << 20, 16384,     715827881, 715827882};
    const uint8_t pick = script.byte();
    if (pick < 224) {
        return 1 + pick % 64;
    }
    return kOdd[pick % (sizeof kOdd / sizeof kOdd[0])];
}

// Frames no bigger than this are ever built (a few hundred KB of planes).
constexpr int64_t kMaxFramePixels = 1 << 16;

bool affordable(int32_t width, int32_t height) {
    return width > 0 && height > 0 &&
           static_cast<int64_t>(width) * static_cast<int64_t>(height) <= kMaxFramePixels;
}

// A frame as a host hands it over, with pixels from a seed.
struct Frame {
    std::vector<uint8_t> planes[3];
    BandBlock blocks[3]{};
    BandBlock* bandList[3]{};
    BandStack stack{};

    Frame(int32_t width, int32_t height, uint32_t seed) {
        const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
        uint32_t state = seed | 1u;
        for (int band = 0; band < 3; ++band) {
            planes[band].resize(samples);
            for (uint8_t& sample : planes[band]) {
                state = state * 1664525u + 1013904223u;
                sample = static_cast<uint8_t>(state >> 24);
            }
            blocks[band].data = planes[band].data();
            bandList[band] = &blocks[band];
        }
        stack.bands = bandList;
    }
};

// The compression dialog's answer for the next create.
struct DialogAnswer {
    bool ok = true;
    AVICOMPRESSOPTIONS options{};
    uint32_t formatBlock = 0;  // bytes of a state block to hand over, 0 for none
    uint32_t parmsBlock = 0;
};
DialogAnswer gAnswer;

bool answerDialog(AVICOMPRESSOPTIONS& options) {
    if (!gAnswer.ok) {
        return false;
    }
    options = gAnswer.options;
    if (gAnswer.formatBlock != 0) {
        options.lpFormat = avifile::allocateOptionsBlock(gAnswer.formatBlock);
        options.cbFormat = gAnswer.formatBlock;
    }
    if (gAnswer.parmsBlock != 0) {
        options.lpParms = avifile::allocateOptionsBlock(gAnswer.parmsBlock);
        options.cbParms = gAnswer.parmsBlock;
    }
    return true;
}

const std::vector<avifile::CompressorDescription>& offered() {
    static const std::vector<avifile::CompressorDescription> list = avifile::availableCompressors();
    return list;
}

uint32_t setting(Script& script, uint32_t usual) {
    switch (script.byte() % 4) {
        case 0: return usual;
        case 1: return 0;
        case 2: return script.byte();
        default: return script.word();
    }
}

// Reads a dialog answer: Cancel now and then, else one of the compressors
// on offer (or an unknown code) with settings in and out of range.
void readAnswer(Script& script, bool& fullFrames) {
    gAnswer = DialogAnswer{};
    const uint8_t pick = script.byte();
    if (pick % 16 == 15) {
        gAnswer.ok = false;
        fullFrames = false;
        return;
    }
    AVICOMPRESSOPTIONS& o = gAnswer.options;
    const size_t choices = offered().size() + 1;
    const size_t index = (pick >> 4) % choices;  // mostly the first ones, Full Frames first
    o.fccType = streamtypeVIDEO;
    o.fccHandler = index < offered().size() ? offered()[index].fourcc : mmioFOURCC('Z', 'Z', 'Z', '9');
    fullFrames = o.fccHandler == comptypeDIB;
    o.dwFlags = AVICOMPRESSF_VALID;
    const uint8_t extras = script.byte();
    if (extras & 1) {
        const uint32_t kQualities[] = {ICQUALITY_DEFAULT, 0, 5000, 10000, 10001, 0x7FFFFFFF};
        o.dwQuality = kQualities[script.byte() % 6];
    } else {
        o.dwQuality = ICQUALITY_DEFAULT;
    }
    if (extras & 2) {
        o.dwFlags |= AVICOMPRESSF_KEYFRAMES;
        o.dwKeyFrameEvery = setting(script, 15);
    }
    if (extras & 4) {
        o.dwFlags |= AVICOMPRESSF_DATARATE;
        o.dwBytesPerSecond = setting(script, 300000);
    }
    if (extras & 8) {
        o.dwFlags = script.word();  // any flags at all
    }
    if (extras & 16) {
        o.fccType = script.byte() & 1 ? streamtypeAUDIO : 0;
    }
    if (extras & 32) {
        gAnswer.formatBlock = script.byte();
        gAnswer.parmsBlock = script.byte();
    }
}

uint32_t readLittle32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// A closed movie is a RIFF AVI file whose first RIFF covers the whole file
// (the movies here stay far below the RIFF limit) and whose main header
// counts the frames that were accepted.
void checkClosedFile(const std::string& path, int32_t accepted) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "the closed movie %s is missing", path.c_str());
    struct stat info {};
    fstat(fd, &info);
    uint8_t head[64] = {};
    const ssize_t got = pread(fd, head, sizeof head, 0);
    close(fd);
    FUZZ_CHECK(got == static_cast<ssize_t>(sizeof head), "the closed movie has %zd bytes", got);
    FUZZ_CHECK(std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0,
               "the closed movie is not a RIFF AVI");
    FUZZ_CHECK(static_cast<uint64_t>(readLittle32(head + 4)) + 8 == static_cast<uint64_t>(info.st_size),
               "RIFF size %u in a file of %lld bytes", readLittle32(head + 4),
               static_cast<long long>(info.st_size));
    // RIFF(12) LIST size hdrl(12) avih size(8): the main header's total
    // frame count is its fifth field.
    FUZZ_CHECK(std::memcmp(head + 24, "avih", 4) == 0, "no main header where it belongs");
    FUZZ_CHECK(readLittle32(head + 48) == static_cast<uint32_t>(accepted),
               "the file counts %u frames, %d were accepted", readLittle32(head + 48), accepted);
}

// AVI_FUZZ_TRACE=1 prints each call and its result, to read what an input does.
bool tracing() {
    static const bool on = std::getenv("AVI_FUZZ_TRACE") != nullptr;
    return on;
}
#define TRACE(...)                            \
    do {                                      \
        if (tracing()) {                      \
            std::fprintf(stderr, __VA_ARGS__); \
        }                                     \
    } while (0)

void countMessage(const char*, void* context) { ++*static_cast<int*>(context); }

// The one movie the host holds, with what the script knows about it.
struct Held {
    MovieRecord* movie = nullptr;
    std::string path;
    int32_t width = 0;
    int32_t height = 0;
    int32_t accepted = 0;
    bool fullFrames = false;
    bool disturbed = false;  // a failure was injected while it was open
};

void closeHeld(Held& held, bool riffLimitSet) {
    const bool wasOpen = held.movie != nullptr;
    aviMovieClose(held.movie);
    held.movie = nullptr;
    if (wasOpen && !held.disturbed && !riffLimitSet) {
        checkClosedFile(held.path, held.accepted);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = [] {
        folder();  // made first, so that it outlives the clean-up at exit
        std::atexit(removeFolder);
        avifile::setSaveOptionsHook(answerDialog);
        return true;
    }();
    (void)prepared;
    int messages = 0;
    jvis_SetMessageHandler(countMessage, &messages);
    const uint64_t blocksBefore = jmsc_HeapLiveBlocks();
    const uint64_t bytesBefore = jmsc_HeapLiveBytes();

    Script script(data, size);
    Held held;
    bool heapFailureArmed = false;
    bool codecFailing = false;
    bool formatRefused = false;
    bool riffLimitSet = false;
    for (int step = 0; step < 32 && !script.done(); ++step) {
        const uint8_t op = script.byte();
        switch (op % 10) {
            case 0:
            case 1: {  // create
                const uint8_t nameKind = script.byte() % 8;
                const bool nullPath = nameKind == 7;
                const char* name = kNames[nameKind % 6];
                const std::string path = folder() + "/" + name;
                const int32_t width = dimension(script);
                const int32_t height = dimension(script);
                bool fullFrames = false;
                readAnswer(script, fullFrames);
                const bool wasOpen = held.movie != nullptr;
                MovieRecord* movie = aviMovieCreate(nullPath ? nullptr : path.c_str(), width, height);
                TRACE("create %s %dx%d, %s %08x quality %u flags %x: %s\n", nullPath ? "(null)" : name,
                      width, height, gAnswer.ok ? "OK" : "Cancel", gAnswer.options.fccHandler,
                      gAnswer.options.dwQuality, gAnswer.options.dwFlags, movie ? "open" : "null");
                if (movie == nullptr) {
                    break;
                }
                FUZZ_CHECK(!wasOpen, "a second movie was created while one is open");
                FUZZ_CHECK(!nullPath && width > 0 && height > 0 && gAnswer.ok,
                           "created a movie without a path, with a size of %dx%d, or after Cancel",
                           width, height);
                FUZZ_CHECK(movie->width == width && movie->height == height && movie->frameCount == 0,
                           "the record says %dx%d, %d frames", movie->width, movie->height,
                           movie->frameCount);
                FUZZ_CHECK(movie->fileName != nullptr && path == movie->fileName,
                           "the record's file name is not the path");
                FUZZ_CHECK(movie->baseName != nullptr &&
                               path.compare(0, std::strlen(movie->baseName), movie->baseName) == 0,
                           "the base name '%s' does not start the path", movie->baseName);
                held = Held{movie, path, width, height, 0, fullFrames,
                            heapFailureArmed || codecFailing || formatRefused};
                break;
            }
            case 2:
            case 3:
            case 4:
            case 5: {  // add a frame
                const uint8_t sizeKind = script.byte();
                const uint8_t frameKind = script.byte() % 10;
                int32_t width = held.movie != nullptr ? held.width : 8;
                int32_t height = held.movie != nullptr ? held.height : 8;
                if (sizeKind % 4 == 3 || !affordable(width, height)) {
                    // Another size than the movie's.
                    switch (sizeKind / 4 % 4) {
                        case 0: width = width % 64 + 1; break;
                        case 1: std::swap(width, height); break;
                        case 2: width = 1; height = 1; break;
                        default: height = height % 64 + 1; break;
                    }
                    if (!affordable(width, height)) {
                        width = 3;
                        height = 2;
                    }
                }
                Frame frame(width, height, script.byte());
                const BandStack* stack = &frame.stack;
                if (frameKind == 7) {
                    stack = nullptr;
                } else if (frameKind == 8) {
                    frame.stack.bands = nullptr;
                } else if (frameKind == 9) {
                    const int band = script.byte() % 3;
                    if (script.byte() & 1) {
                        frame.bandList[band] = nullptr;
                    } else {
                        frame.blocks[band].data = nullptr;
                    }
                }
                const bool wellFormed = frameKind < 7;
                const bool matching = held.movie != nullptr && width == held.width && height == held.height;
                const int32_t countBefore = held.movie != nullptr ? held.movie->frameCount : 0;
                const int32_t result = aviMovieAddFrame(held.movie, width, height, stack);
                TRACE("add %dx%d frame (kind %d) to %s: %d\n", width, height, frameKind,
                      held.movie ? "the movie" : "null", result);
                FUZZ_CHECK(result == 0 || result == 1, "add-frame returned %d", result);
                if (held.movie == nullptr) {
                    FUZZ_CHECK(result == 0, "a frame was accepted without a movie");
                    break;
                }
                if (!matching || !wellFormed) {
                    FUZZ_CHECK(result == 0 && held.movie->frameCount == countBefore,
                               "a %dx%d frame (kind %d) was taken for a %dx%d movie", width, height,
                               frameKind, held.width, held.height);
                    break;
                }
                FUZZ_CHECK(held.movie->frameCount == countBefore + result ||
                               (result == 0 && held.movie->frameCount == countBefore + 1),
                           "the frame count went from %d to %d", countBefore, held.movie->frameCount);
                if (held.fullFrames && !held.disturbed && !heapFailureArmed && !codecFailing &&
                    !formatRefused) {
                    FUZZ_CHECK(result == 1, "a good frame was refused by Full Frames");
                }
                held.accepted += result;
                if (result == 0 || held.movie->frameCount != held.accepted) {
                    // A frame that reached the write step and failed leaves a
                    // gap that the file's count need not match.
                    held.disturbed = true;
                }
                break;
            }
            case 6: {  // close (with no movie held, a close of null)
                TRACE("close %s\n", held.movie ? "the movie" : "null");
                closeHeld(held, riffLimitSet);
                removeMovies();
                break;
            }
            case 7: {  // calls without a movie, and the type names
                FUZZ_CHECK(aviMovieAddFrame(nullptr, 8, 8, nullptr) == 0, "null movie accepted a frame");
                aviMovieClose(nullptr);
                const char* typeName = aviMovieGetTypeName();
                FUZZ_CHECK(typeName != nullptr && typeName == aviMovieGetTypeName(),
                           "the type name is not one static text");
                char* copy = nullptr;
                char* extension = nullptr;
                aviMovieGetInterfaceFileTypeDef(script.byte() & 1 ? &copy : nullptr, &extension);
                FUZZ_CHECK(copy == nullptr || std::strcmp(copy, typeName) == 0, "type name copy differs");
                FUZZ_CHECK(extension == nullptr || std::strcmp(extension, "avi") == 0,
                           "the extension is '%s'", extension);
                jmsc_HeapFree(copy);
                jmsc_HeapFree(extension);
                break;
            }
            case 8: {  // a failure of the host heap, soon
                const int successes = script.byte() % 8;
                TRACE("host heap fails after %d allocations\n", successes);
                jmsc_HeapFailAfter(successes);
                heapFailureArmed = true;
                held.disturbed = true;
                break;
            }
            default: {  // the codec breaks down, the format is refused, or small RIFFs
                const uint8_t which = script.byte() % 3;
                TRACE("switch failure %d\n", which);
                if (which == 0) {
                    codecFailing = !codecFailing;
                    avifile::setCodecFailure(codecFailing);
                } else if (which == 1) {
                    formatRefused = !formatRefused;
                    avifile::setFormatRefusal(formatRefused ? AVIERR_UNSUPPORTED : AVIERR_OK);
                } else {
                    avifile::setRiffLimit(1024 + 256 * static_cast<uint64_t>(script.byte()));
                    riffLimitSet = true;
                }
                held.disturbed = true;
                break;
            }
        }
    }
    closeHeld(held, riffLimitSet);

    jmsc_HeapFailAfter(-1);
    avifile::setCodecFailure(false);
    avifile::setFormatRefusal(AVIERR_OK);
    avifile::setRiffLimit(0);
    jvis_SetMessageHandler(nullptr, nullptr);
    removeMovies();
    FUZZ_CHECK(jmsc_HeapLiveBlocks() == blocksBefore && jmsc_HeapLiveBytes() == bytesBefore,
               "host heap: %llu blocks (%llu bytes) left, %llu (%llu) before",
               static_cast<unsigned long long>(jmsc_HeapLiveBlocks()),
               static_cast<unsigned long long>(jmsc_HeapLiveBytes()),
               static_cast<unsigned long long>(blocksBefore),
               static_cast<unsigned long long>(bytesBefore));
    FUZZ_CHECK(avifile::liveObjects() == 0, "%d file or stream objects left", avifile::liveObjects());
    FUZZ_CHECK(avifile::libraryReferences() == 0, "%d library references left",
               avifile::libraryReferences());
    return 0;
}
