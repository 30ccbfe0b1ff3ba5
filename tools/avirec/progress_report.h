// --progress: machine-readable progress for programs that drive avirec, as
// blocks of key=value lines, each block ending with progress=continue, the
// last with progress=end.
#ifndef AVIREC_PROGRESS_REPORT_H
#define AVIREC_PROGRESS_REPORT_H

#include <chrono>
#include <optional>
#include <string>

class ProgressReport {
public:
    ProgressReport() = default;
    ~ProgressReport();
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;

    // Opens `target`: "-" (standard output), "fd:N" (a descriptor open for
    // writing) or a file (created or truncated). `movie` is the file whose
    // size is reported; `fps`, when given, turns frames into media time.
    // A write that fails later is said once on standard error unless
    // `quiet`, and the recording goes on. False with the reason in `error`.
    bool open(const std::string& target, const std::string& movie, std::optional<double> fps,
              bool quiet, std::string& error);

    bool enabled() const { return fd_ >= 0; }

    // A block after a frame: at most about twice a second.
    void update(int frames);

    // The last block.
    void finish(int frames);

private:
    void write(int frames, bool last);

    int fd_ = -1;
    bool ownsFd_ = false;
    bool broken_ = false;  // a write failed: no more are tried
    bool quiet_ = false;
    std::string target_;
    std::string movie_;
    std::optional<double> fps_;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point lastWritten_{};
};

#endif  // AVIREC_PROGRESS_REPORT_H
