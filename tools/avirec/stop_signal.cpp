// The signal handlers: only async-signal-safe work happens in them.
#include "stop_signal.h"

#include <unistd.h>

#include <csignal>

namespace {

volatile sig_atomic_t requested = 0;

void onStopSignal(int number) {
    if (requested != 0) {
        // The second signal: no time to close the movie. The platform layer
        // keeps the header's counts current, so the file reads as after a crash.
        _exit(128 + number);
    }
    requested = number;
}

}  // namespace

bool installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocked reads return with EINTR
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

int stopSignal() { return requested; }
