// Why the last call into the layer failed, in words for the user. The code
// that detects a failure records its reason; the host program reads it after
// a call failed (lastFailureReason in avifile_hooks.h) and shows it beside
// its own message. One reason per thread, cleared when a call begins.
#ifndef AVIFILE_API_FAILURE_REASON_H
#define AVIFILE_API_FAILURE_REASON_H

#include <string>

namespace avifile {

// Records why the call in progress fails ("the disk is full"). A later
// reason of the same call replaces an earlier one only when `replace`.
void setFailureReason(std::string reason, bool replace = true);

// Forgets the reason of an earlier call.
void clearFailureReason();

// The reason recorded since the call began, or empty.
const std::string& failureReason();

}  // namespace avifile

#endif  // AVIFILE_API_FAILURE_REASON_H
