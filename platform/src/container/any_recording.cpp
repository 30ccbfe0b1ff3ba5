// Repairing any other writer's recording: the survey and plan of
// recovery.cpp carried out on the file, in place, into a copy, or (for a
// file too large to be indexed where it lies) into a new file written by
// this layer's own writer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "api/failure_reason.h"
#include "container/avi_writer.h"
#include "container/header_and_indexes.h"
#include "container/recovery.h"
#include "riff/byte_sink.h"
#include "riff/file_system.h"

namespace avifile::recovery {
namespace {

// The plan's writes in its order, each step on disk before the next: the
// file cut after its last whole sample, the indexes appended there, then
// the fields that point readers at them. The file sink writes them (its
// reasons for a refused write reach the user).
bool applyPlan(const char* path, const Plan& plan, std::string& why) {
    const uint64_t end = plan.indexes.empty() ? plan.length : plan.indexes.front().at;
    std::unique_ptr<ByteSink> sink = continueFileSink(path, end);
    bool ok = sink != nullptr;
    for (const Write& write : plan.indexes) {
        const ConstBuffer part{write.bytes.data(), write.bytes.size()};
        ok = ok && sink->append({&part, 1});
    }
    ok = ok && sink->size() == plan.length && sink->sync();
    for (const Write& write : plan.fields) {
        ok = ok && sink->writeAt(write.at, write.bytes.data(), write.bytes.size());
    }
    ok = ok && sink->sync();
    if (!ok) {
        why = failureReason().empty() ? std::string("the file could not be written")
                                      : failureReason();
    }
    return ok;
}

}  // namespace

// Whether the file can be opened for writing; a refusal with the reason
// when it cannot (nothing was written then).
bool mayWrite(const char* path, RepairReport& report) {
    const int fd = sys::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        report.outcome = RepairOutcome::Refused;
        report.message = std::string("it cannot be opened for writing (") + std::strerror(errno) +
                         ")";
        return false;
    }
    sys::close(fd);
    return true;
}

// Copies `from` to a new file `to` for a repair that leaves `from` as it is.
bool copyForRepair(const char* from, const char* to, std::string& why) {
    struct stat source {};
    struct stat target {};
    if (sys::stat(from, &source) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(source.st_mode)) {
        why = S_ISDIR(source.st_mode) ? "it is a folder" : "it is not a regular file";
        return false;
    }
    if (sys::stat(to, &target) == 0 && target.st_dev == source.st_dev && target.st_ino == source.st_ino) {
        why = "--output names the file being repaired";
        return false;
    }
    const int in = sys::open(from, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    const int out = in < 0 ? -1 : sys::open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    bool ok = in >= 0 && out >= 0;
    if (!ok) {
        why = std::string(in < 0 ? "it cannot be read (" : "--output cannot be created (") +
              std::strerror(errno) + ")";
    }
    for (uint64_t left = static_cast<uint64_t>(source.st_size); ok && left > 0;) {
        const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, left, 0);
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied <= 0) {
            why = std::string("--output could not be written (") +
                  (copied < 0 ? std::strerror(errno) : "the file shrank") + ")";
            ok = false;
            break;
        }
        left -= static_cast<uint64_t>(copied);
    }
    if (in >= 0) {
        sys::close(in);
    }
    if (out >= 0) {
        ok = sys::close(out) == 0 && ok;
        if (!ok) {
            sys::unlink(to);
        }
    }
    return ok;
}

// The plan for any other writer's file, with the header block for one
// whose headers were never written. False with the reason in `report`.
bool planAnyRecording(const ByteSource& file, const RepairOptions& options,
                      Survey& survey, Plan& plan, RepairReport& report) {
    std::string why;
    bool headersMissing = false;
    uint8_t top[4] = {1};
    if (readHeaders(file, survey, why)) {
        if (!options.like.empty() || options.fps > 0 || options.width > 0) {
            report.message = "its headers are there; --like, --size and --fps are only for a file "
                             "whose headers were never written";
            return false;
        }
    } else if (file.read(0, top, sizeof top) && std::all_of(top, top + 4, [](uint8_t b) { return b == 0; })) {
        survey = Survey{};
        why.clear();
        if (!supplyMissingHeaders(file, options, survey, why)) {
            report.message = why;
            return false;
        }
        headersMissing = true;
    } else {
        report.message = why;
        return false;
    }
    walkChunks(file, survey);
    if (!survey.refusal.empty()) {
        report.message = survey.refusal;
        return false;
    }
    if (!planRepair(file, survey, plan, why)) {
        report.message = why;
        return false;
    }
    report.samples = plan.samples;
    report.frames = plan.frames;
    if (headersMissing) {
        // The whole header block goes in at the end, in one write.
        for (const FoundRiff& riff : survey.riffs) {
            for (const FoundSample& sample : riff.samples) {
                survey.streams[sample.stream].samples += 1;
                survey.streams[sample.stream].bytes += sample.size;
            }
        }
        const uint64_t moviEnd = plan.indexes.empty() ? plan.length : plan.indexes.front().at;
        const uint64_t movi = survey.firstChunkAt - 12;
        std::vector<uint8_t> header;
        if (moviEnd - movi - 8 > UINT32_MAX || plan.length - 8 > UINT32_MAX) {
            report.message = "it is too large for an AVI 1.0 file";
            return false;
        }
        if (!buildMissingHeaders(survey, plan.length - 8,
                                           static_cast<uint32_t>(moviEnd - movi - 8),
                                           survey.firstChunkAt, header, why)) {
            report.message = why;
            return false;
        }
        plan.fields = {Write{0, std::move(header)}};
    }
    return true;
}

// Any other writer's file: indexed where it lies.
void repairAnyRecording(const ByteSource& file, const char* path, const RepairOptions& options,
                        RepairReport& report) {
    Survey survey;
    Plan plan;
    if (!planAnyRecording(file, options, survey, plan, report)) {
        return;
    }
    const uint64_t keep = plan.indexes.empty() ? plan.length : plan.indexes.front().at;
    report.bytesCut = file.size() > keep ? file.size() - keep : 0;
    if (planIsDone(file, plan)) {
        report.outcome = RepairOutcome::AlreadyComplete;
        report.message = "the file is complete; nothing was changed";
        report.bytesCut = 0;
        return;
    }
    if (!plan.inPlaceRefusal.empty()) {
        report.message = plan.inPlaceRefusal;
        return;
    }
    if (!mayWrite(path, report)) {
        return;
    }
    if (!applyPlan(path, plan, report.message)) {
        report.outcome = RepairOutcome::Failed;
        return;
    }
    if (!survey.stop.empty() && report.bytesCut > 0) {
        report.message = "repaired; the walk ended at " + survey.stop;
    } else {
        report.message = "repaired";
    }
    report.outcome = RepairOutcome::Repaired;
}

// A file too large to be indexed where it lies, written anew into `output`
// by this layer's writer: the same streams and samples, byte for byte, in
// RIFFs of the large-file extension with their indexes.
void writeAnew(const ByteSource& file, const Survey& survey, const char* output,
               RepairReport& report) {
    report.outcome = RepairOutcome::Failed;
    std::unique_ptr<ByteSink> sink = createAviFileSink(output);
    if (!sink) {
        report.outcome = RepairOutcome::Refused;
        report.message = "--output cannot be created: " + failureReason();
        return;
    }
    AviWriter writer(std::move(sink), ContainerSettings{});
    for (const FoundStream& stream : survey.streams) {
        const StreamHeader& h = stream.header;
        const int number = writer.addStream(streamInfo(h));
        writer.setHandler(number, h.handler);
        if (writer.setFormat(number, stream.format.data(), stream.format.size()) != AVIERR_OK) {
            report.message = "the format of stream " + std::to_string(number) + " was refused";
            sys::unlink(output);
            return;
        }
    }
    std::vector<bool> seen(survey.streams.size(), false);
    std::vector<uint8_t> data;
    for (const FoundRiff& riff : survey.riffs) {
        for (const FoundSample& sample : riff.samples) {
            const bool key = isKeyFrame(file, survey.streams[sample.stream], sample,
                                                  !seen[sample.stream]);
            seen[sample.stream] = true;
            if (!file.read(sample.at + 8, data, sample.size) ||
                writer.writeSample(sample.stream, data.data(), data.size(), key) != AVIERR_OK) {
                report.message = failureReason().empty() ? std::string("a sample could not be copied")
                                                         : failureReason();
                sys::unlink(output);
                return;
            }
            ++report.samples;
            report.frames += survey.streams[sample.stream].isVideo() && sample.stream == 0 ? 1 : 0;
        }
    }
    if (writer.finish() != AVIERR_OK) {
        report.message = failureReason();
        sys::unlink(output);
        return;
    }
    report.outcome = RepairOutcome::Repaired;
    report.message = "written anew with the large-file extension's indexes";
}

}  // namespace avifile::recovery
