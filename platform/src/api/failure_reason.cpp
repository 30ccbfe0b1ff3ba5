#include "api/failure_reason.h"

#include <utility>

#include "avifile_hooks.h"

namespace avifile {
namespace {

thread_local std::string reasonOfThread;

}  // namespace

void setFailureReason(std::string reason, bool replace) {
    if (replace || reasonOfThread.empty()) {
        reasonOfThread = std::move(reason);
    }
}

void clearFailureReason() { reasonOfThread.clear(); }

const std::string& failureReason() { return reasonOfThread; }

std::string lastFailureReason() { return reasonOfThread; }

}  // namespace avifile
