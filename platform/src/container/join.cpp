// Joining recordings, in the order it happens:
//
//   inputs    each input is opened and read with the repair's survey (its
//             headers by the records' parses, its chunks by the walker) and
//             must be a finished movie of one video stream whose first frame
//             is a key frame; the key-frame flags come from its indexes;
//   agreement every input has the first one's stream format, handler, rate
//             and scale, else the join is refused naming the input and the
//             field, before anything is written;
//   output    the movie is written by the layer's AviWriter at OUTPUT.part,
//             each frame copied from its input by the file sink
//             (ByteSink::appendCopy), then finished and renamed to OUTPUT.
//
// A refusal or a failure removes OUTPUT.part; an existing OUTPUT is replaced
// only by the rename of a complete movie.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/failure_reason.h"
#include "api/library_settings.h"
#include "avifile_hooks.h"
#include "container/avi_writer.h"
#include "container/header_and_indexes.h"
#include "container/recovery.h"
#include "riff/byte_sink.h"
#include "riff/chunk_walker.h"
#include "riff/file_system.h"

namespace avifile {
namespace {

// ---------------------------------------------------------------------------
// Inputs: opened, surveyed, their key frames read from their indexes.

struct Input {
    std::string path;
    int fd = -1;
    struct stat info {};
    std::unique_ptr<FileSource> file;
    recovery::Survey survey;
    std::vector<bool> keyFrames;  // of the samples of its video stream, in file order

    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() {
        if (fd >= 0) {
            sys::close(fd);
        }
    }
    const recovery::FoundStream& stream() const { return survey.streams.front(); }
};

void refuse(JoinReport& report, std::string message) {
    report.outcome = JoinOutcome::Refused;
    report.message = std::move(message);
}

bool openInput(Input& input, JoinReport& report) {
    input.fd = sys::open(input.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (input.fd < 0) {
        refuse(report, input.path + " cannot be opened: " + std::strerror(errno));
        return false;
    }
    if (sys::fstat(input.fd, &input.info) != 0 || !S_ISREG(input.info.st_mode)) {
        refuse(report, input.path + (S_ISDIR(input.info.st_mode) ? " is a folder"
                                                                 : " is not a regular file"));
        return false;
    }
    input.file = std::make_unique<FileSource>(input.fd, static_cast<uint64_t>(input.info.st_size));
    return true;
}

// The key-frame flags that the input's indexes give its samples, by the
// position of each sample's chunk header: the standard indexes and the
// idx1 (whose offsets count from the 'movi' code, or for some writers from
// the file's start).
std::unordered_map<uint64_t, bool> indexedKeyFrames(const Input& input) {
    std::unordered_map<uint64_t, bool> flags;
    std::vector<uint8_t> data;
    for (const recovery::FoundRiff& riff : input.survey.riffs) {
        for (const Chunk& chunk : riff.indexes) {
            const auto header = input.file->read(chunk.dataAt(), data, chunk.size)
                                    ? parseStandardIndexHeader(data)
                                    : std::nullopt;
            for (uint32_t n = 0; header && n < header->entriesInUse; ++n) {
                if (const auto entry = parseStandardIndexEntry(data, n)) {
                    flags[header->baseOffset + entry->offset - 8] =
                        (entry->sizeAndFlag & kStandardIndexDeltaFrame) == 0;
                }
            }
        }
        for (const Chunk& chunk : riff.firstIndexes) {
            if (!input.file->read(chunk.dataAt(), data, chunk.size)) {
                continue;
            }
            // The first sample's entry tells which the offsets count from.
            std::optional<uint64_t> base;
            for (uint32_t n = 0;; ++n) {
                const auto entry = parseFirstIndexEntry(data, n);
                uint16_t stream = 0;
                if (!entry) {
                    break;
                }
                if (!recovery::isSampleId(entry->chunkId, stream)) {
                    continue;
                }
                if (!base) {
                    const uint64_t fromMovi = riff.moviAt + 8;
                    base = recovery::sampleAt(riff, fromMovi + entry->offset) != nullptr
                               ? fromMovi
                               : 0;
                }
                flags.try_emplace(*base + entry->offset, (entry->flags & kIndexKeyFrame) != 0);
            }
        }
    }
    return flags;
}

// The key-frame flag of each sample: as the indexes say, or the probe for
// a sample that no index lists. A first frame counts as a key frame only
// when, for the codecs whose key frames the probe knows, the bitstream
// agrees.
void readKeyFrames(Input& input) {
    const std::unordered_map<uint64_t, bool> flags = indexedKeyFrames(input);
    bool first = true;
    for (const recovery::FoundRiff& riff : input.survey.riffs) {
        for (const recovery::FoundSample& sample : riff.samples) {
            const auto flag = flags.find(sample.at);
            bool key = flag != flags.end()
                           ? flag->second
                           : recovery::isKeyFrame(*input.file, input.stream(), sample, first);
            if (first) {
                key = key && sample.size > 0 &&
                      recovery::isKeyFrame(*input.file, input.stream(), sample, true);
            }
            input.keyFrames.push_back(key);
            first = false;
        }
    }
}

// Reads the input through: a finished movie of one video stream with at
// least one frame, a key frame first. False with the refusal in `report`.
bool surveyInput(Input& input, JoinReport& report) {
    const std::string& name = input.path;
    std::string why;
    if (!recovery::readHeaders(*input.file, input.survey, why)) {
        refuse(report, name + " cannot be joined: " + why);
        return false;
    }
    recovery::walkChunks(*input.file, input.survey);
    recovery::Plan plan;
    if (!input.survey.refusal.empty()) {
        refuse(report, name + " cannot be joined: " + input.survey.refusal);
        return false;
    }
    if (!recovery::planRepair(*input.file, input.survey, plan, why)) {
        refuse(report, name + " cannot be joined: " + why);
        return false;
    }
    if (!recovery::planIsDone(*input.file, plan)) {
        refuse(report, name + " was never finished (its recording was cut off); repair it "
                              "before joining it");
        report.cutOff = name;
        return false;
    }
    const auto& streams = input.survey.streams;
    if (streams.size() != 1 || !streams.front().isVideo()) {
        refuse(report, name + " has " +
                           (streams.size() == 1 ? std::string("no video stream")
                                                : std::to_string(streams.size()) + " streams") +
                           ": only movies of one video stream, without sound, can be joined");
        return false;
    }
    readKeyFrames(input);
    if (input.keyFrames.empty()) {
        refuse(report, name + " holds no frame");
        return false;
    }
    if (!input.keyFrames.front()) {
        refuse(report, name + ": its first frame is not a key frame, so it cannot follow "
                              "another movie");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Agreement: every input as the first one.

std::string codeText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(code >> (8 * i));
        text += c >= 0x20 && c <= 0x7E ? c : '?';
    }
    return code == 0 ? std::string("none") : "'" + text + "'";
}

std::string codecText(uint32_t compression) {
    return compression == 0 ? std::string("uncompressed") : codeText(compression);
}

// The frame rate as a decimal number ("25", "29.97"); "no" without one.
std::string framesPerSecond(const StreamHeader& header) {
    if (header.scale == 0) {
        return "no";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(header.rate) / header.scale);
    std::string rate = text;
    rate.erase(rate.find_last_not_of('0') + 1);
    if (rate.back() == '.') {
        rate.pop_back();
    }
    return rate;
}

// How `other` differs from `first` in what the join needs to be the same,
// in words; empty when it does not.
std::string difference(const Input& first, const Input& other) {
    const std::string& a = first.path;
    const std::string& b = other.path;
    const StreamHeader& ha = first.stream().header;
    const StreamHeader& hb = other.stream().header;
    const auto fa = parseBitmapInfoHeader(first.stream().format);
    const auto fb = parseBitmapInfoHeader(other.stream().format);
    if (fa && fb) {
        if (fa->width != fb->width || fa->height != fb->height) {
            return b + ": " + std::to_string(fb->width) + "x" + std::to_string(fb->height) +
                   ", but " + a + " is " + std::to_string(fa->width) + "x" +
                   std::to_string(fa->height);
        }
        if (fa->compression != fb->compression) {
            return b + ": its codec is " + codecText(fb->compression) + ", but " + a + "'s is " +
                   codecText(fa->compression);
        }
        if (fa->bitCount != fb->bitCount) {
            return b + ": " + std::to_string(fb->bitCount) + " bits a pixel, but " + a + " has " +
                   std::to_string(fa->bitCount);
        }
    }
    if (first.stream().format != other.stream().format) {
        return b + ": its stream format (the codec's settings in its header) differs from " + a +
               "'s";
    }
    if (ha.handler != hb.handler) {
        return b + ": its handler is " + codeText(hb.handler) + ", but " + a + "'s is " +
               codeText(ha.handler);
    }
    if (ha.rate != hb.rate || ha.scale != hb.scale) {
        const std::string ra = framesPerSecond(ha);
        const std::string rb = framesPerSecond(hb);
        if (ra != rb) {
            return b + ": " + rb + " frames a second, but " + a + " has " + ra;
        }
        return b + ": its rate and scale are " + std::to_string(hb.rate) + "/" +
               std::to_string(hb.scale) + ", but " + a + "'s are " + std::to_string(ha.rate) +
               "/" + std::to_string(ha.scale);
    }
    return {};
}

// ---------------------------------------------------------------------------
// Output: the place it is written, the copy, the rename.

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the output and its partial file may be written: neither is one
// of the inputs, and an existing one only when the caller allows. A partial
// file left by an earlier join is removed then.
bool mayWriteOutput(const std::string& output, const std::string& partial,
                    const std::vector<std::unique_ptr<Input>>& inputs, const JoinOptions& options,
                    JoinReport& report) {
    for (const std::string* path : {&output, &partial}) {
        struct stat info {};
        if (sys::stat(path->c_str(), &info) != 0) {
            continue;
        }
        for (const auto& input : inputs) {
            if (sameFile(info, input->info)) {
                refuse(report, *path + " is the input " + input->path +
                                   ": the output must be another file");
                return false;
            }
        }
        if (!options.replace) {
            refuse(report, path == &output
                               ? output + " exists"
                               : partial + " exists: it is left from a join that was cut off; "
                                           "repair it or remove it");
            return false;
        }
    }
    if (sys::unlink(partial.c_str()) != 0 && errno != ENOENT) {
        refuse(report, partial + " cannot be removed: " + std::strerror(errno));
        return false;
    }
    return true;
}

// The movie's one stream, as the first input describes it.
bool addStream(AviWriter& writer, const recovery::FoundStream& stream) {
    AVISTREAMINFOA info = streamInfo(stream.header);
    std::snprintf(info.szName, sizeof info.szName, "%s", stream.name.c_str());
    const int number = writer.addStream(info);
    writer.setHandler(number, stream.header.handler);
    return number == 0 &&
           writer.setFormat(number, stream.format.data(), stream.format.size()) == AVIERR_OK;
}

// Copies every frame of the inputs, in order; false with the reason in
// `report` (its outcome Failed or Stopped).
bool copyFrames(AviWriter& writer, const std::vector<std::unique_ptr<Input>>& inputs,
                const JoinOptions& options, JoinReport& report) {
    int64_t total = 0;
    for (const auto& input : inputs) {
        total += static_cast<int64_t>(input->keyFrames.size());
    }
    for (const auto& input : inputs) {
        size_t n = 0;
        for (const recovery::FoundRiff& riff : input->survey.riffs) {
            for (const recovery::FoundSample& sample : riff.samples) {
                const FileRange range{input->fd, sample.at + 8, sample.size};
                if (writer.writeSample(0, range, input->keyFrames[n++]) != AVIERR_OK) {
                    report.outcome = JoinOutcome::Failed;
                    report.message = "copying frame " + std::to_string(n) + " of " + input->path +
                                     " failed: " +
                                     (failureReason().empty() ? std::string("the write failed")
                                                              : failureReason());
                    return false;
                }
                ++report.frames;
                if (options.keepGoing && !options.keepGoing(report.frames, total)) {
                    report.outcome = JoinOutcome::Stopped;
                    report.message = "stopped after " + std::to_string(report.frames) + " of " +
                                     std::to_string(total) + " frames";
                    return false;
                }
            }
        }
    }
    return true;
}

// Writes the movie at `partial` and renames it to `output`; on any failure
// removes `partial`, with the reason in `report`.
void writeJoined(const std::string& output, const std::string& partial,
                 const std::vector<std::unique_ptr<Input>>& inputs, const JoinOptions& options,
                 JoinReport& report) {
    std::unique_ptr<ByteSink> sink = createAviFileSink(partial.c_str());
    if (!sink) {
        refuse(report, partial + " cannot be created: " + failureReason());
        return;
    }
    bool ok = true;
    {
        AviWriter writer(std::move(sink), api::settingsForNewFile());
        if (!addStream(writer, inputs.front()->stream())) {
            report.outcome = JoinOutcome::Failed;
            report.message = "the stream format of " + inputs.front()->path + " was refused: " +
                             failureReason();
            ok = false;
        }
        ok = ok && copyFrames(writer, inputs, options, report);
        if (ok && writer.finish() != AVIERR_OK) {
            report.outcome = JoinOutcome::Failed;
            report.message = "the movie could not be finished: " + failureReason();
            ok = false;
        }
    }
    if (ok && sys::rename(partial.c_str(), output.c_str()) != 0) {
        report.outcome = JoinOutcome::Failed;
        report.message = partial + " could not be renamed to " + output + ": " +
                         std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        sys::unlink(partial.c_str());
        return;
    }
    // The new name survives a power cut before the join reports success.
    if (syncing() && sys::syncFolderOf(output.c_str()) != 0) {
        report.outcome = JoinOutcome::Failed;
        report.message = "the folder of " + output + " could not be flushed to the disk: " +
                         std::strerror(errno);
        return;
    }
    report.outcome = JoinOutcome::Joined;
    report.message = "joined " + std::to_string(inputs.size()) +
                     (inputs.size() == 1 ? " movie, " : " movies, ") +
                     std::to_string(report.frames) + " frames";
}

}  // namespace

JoinReport joinRecordings(const char* output, const std::vector<std::string>& inputs,
                          const JoinOptions& options) {
    clearFailureReason();
    JoinReport report;
    if (output == nullptr || output[0] == '\0') {
        refuse(report, "no output file was given");
        return report;
    }
    if (inputs.empty()) {
        refuse(report, "no movie was given to join");
        return report;
    }
    std::vector<std::unique_ptr<Input>> opened;
    for (const std::string& path : inputs) {
        opened.push_back(std::make_unique<Input>());
        opened.back()->path = path;
        if (!openInput(*opened.back(), report) || !surveyInput(*opened.back(), report)) {
            return report;
        }
        if (const std::string why = difference(*opened.front(), *opened.back()); !why.empty()) {
            refuse(report, why);
            return report;
        }
    }
    const std::string target(output);
    const std::string partial = target + ".part";
    if (!mayWriteOutput(target, partial, opened, options, report)) {
        return report;
    }
    writeJoined(target, partial, opened, options, report);
    return report;
}

}  // namespace avifile
