// Drawing of the progress line.
#include "progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

std::string formatDuration(double seconds) {
    // Held below a billion seconds (and 0 for NaN), so that the conversion
    // to a whole number is defined however slow the recording.
    const double shown = seconds > 0 ? std::min(seconds, 1e9) : 0.0;
    const long whole = static_cast<long>(shown + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

}  // namespace

std::string formatProgress(int done, int total, double seconds) {
    const double fps = seconds > 0 ? done / seconds : 0.0;
    char text[128];
    if (total < 0) {
        std::snprintf(text, sizeof text, "frame %d  %.1f fps  time %s", done, fps,
                      formatDuration(seconds).c_str());
        return text;
    }
    const double left = fps > 0 ? (total - done) / fps : 0.0;
    std::snprintf(text, sizeof text, "frame %d/%d  %.1f fps  time left %s", done, total, fps,
                  formatDuration(left).c_str());
    return text;
}

ProgressLine::ProgressLine() : enabled_(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::start(int total) {
    total_ = total;
    started_ = std::chrono::steady_clock::now();
    lastDrawn_ = started_;
}

void ProgressLine::update(int done) {
    // The last frame's figures are drawn by finish().
    if (!enabled_ || (total_ >= 0 && done >= total_)) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastDrawn_ < std::chrono::milliseconds(200)) {
        return;
    }
    lastDrawn_ = now;
    draw(done);
}

void ProgressLine::draw(int done) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(stderr, "\r\033[K%s", formatProgress(done, total_, seconds).c_str());
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::clear() {
    if (enabled_ && shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

void ProgressLine::finish(int done) {
    if (!enabled_) {
        return;
    }
    draw(done);
    std::fputc('\n', stderr);
    shown_ = false;
}
