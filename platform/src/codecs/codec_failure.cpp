#include "codecs/codec_failure.h"

#include <atomic>

namespace avifile::codecs {
namespace {

std::atomic<bool> gFailing{false};

}  // namespace

void setCodecFailing(bool failing) { gFailing.store(failing); }

bool codecFailing() { return gFailing.load(); }

}  // namespace avifile::codecs
