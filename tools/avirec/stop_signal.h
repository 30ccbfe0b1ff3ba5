// Ctrl-C and SIGTERM during a recording: the first one asks the recording to
// stop after the frame in hand (the movie is then closed and complete); a
// second one ends the program at once, leaving a file that --repair finishes.
#ifndef AVIREC_STOP_SIGNAL_H
#define AVIREC_STOP_SIGNAL_H

// Installs the handlers for SIGINT and SIGTERM, without restarting system
// calls, so that a read waiting for frames returns when a signal comes.
// False when they cannot be installed.
bool installStopHandlers();

// The signal that asked the recording to stop, or 0.
int stopSignal();

// Whether a stop was asked for.
inline bool stopRequested() { return stopSignal() != 0; }

#endif  // AVIREC_STOP_SIGNAL_H
