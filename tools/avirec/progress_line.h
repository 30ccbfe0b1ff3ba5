// The progress line on a terminal: frames done, frames per second and time
// left, redrawn in place. Silent when standard error is not a terminal.
#ifndef AVIREC_PROGRESS_LINE_H
#define AVIREC_PROGRESS_LINE_H

#include <chrono>
#include <string>

class ProgressLine {
public:
    ProgressLine();  // on when standard error is a terminal
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}

    bool enabled() const { return enabled_; }

    // Starts timing the recording of `total` frames (-1: not known).
    void start(int total);

    // Shows that `done` frames are written; redrawn at most a few times a second.
    void update(int done);

    // Removes the line so that other text can be printed.
    void clear();

    // Ends the line with the final figures (when enabled).
    void finish(int done);

private:
    void draw(int done);

    bool enabled_ = false;
    bool shown_ = false;
    int total_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point lastDrawn_{};
};

// "12.3 fps" style figures (the time taken when `total` is -1) and "1:05" style durations, for the line.
std::string formatProgress(int done, int total, double seconds);

#endif  // AVIREC_PROGRESS_LINE_H
