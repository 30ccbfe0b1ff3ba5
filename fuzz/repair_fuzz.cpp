// Fuzz target: the repair of a cut-off recording. The input is the file. A
// file refused or found complete must be left byte for byte; a repaired one
// must be found complete by a second repair, which changes nothing, and
// keeps the bytes of the samples where they were (the repair writes only
// after its last sample and into the header fields before the first).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "avifile_hooks.h"
#include "fuzz_check.h"

namespace {

int inputFile() {
    static const int fd = memfd_create("repair", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "memfd_create failed");
    return fd;
}

std::vector<uint8_t> contents(int fd) {
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, block, sizeof block, at);
        FUZZ_CHECK(n >= 0, "pread failed");
        if (n == 0) {
            return bytes;
        }
        bytes.insert(bytes.end(), block, block + n);
        at += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = inputFile();
    putInput(fd, data, size);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // Inputs whose last byte is odd come with a frame size (from their last
    // two bytes) and rate, as for a file whose headers were never written.
    avifile::RepairOptions options;
    if (size >= 2 && (data[size - 1] & 1) != 0) {
        options.width = 1 + data[size - 1] % 64;
        options.height = 1 + data[size - 2] % 48;
        options.fps = 25;
    }
    const avifile::RepairReport report = avifile::repairRecording(path.c_str(), options);
    const std::vector<uint8_t> after = contents(fd);
    const std::vector<uint8_t> before(data, data + size);
    if (report.outcome == avifile::RepairOutcome::Refused ||
        report.outcome == avifile::RepairOutcome::AlreadyComplete) {
        FUZZ_CHECK(after == before, "a file %s was changed: %s",
                   report.outcome == avifile::RepairOutcome::Refused ? "refused" : "found complete",
                   report.message.c_str());
        return 0;
    }
    FUZZ_CHECK(!report.message.empty(), "no message");
    if (report.outcome != avifile::RepairOutcome::Repaired) {
        return 0;
    }
    FUZZ_CHECK(report.samples > 0, "repaired without a sample");
    const avifile::RepairReport again = avifile::repairRecording(path.c_str());
    FUZZ_CHECK(again.outcome == avifile::RepairOutcome::AlreadyComplete,
               "a repaired file is not complete: %s", again.message.c_str());
    FUZZ_CHECK(contents(fd) == after, "a second repair changed the file");
    FUZZ_CHECK(again.samples == report.samples, "%lld samples, then %lld",
               static_cast<long long>(report.samples), static_cast<long long>(again.samples));
    return 0;
}
