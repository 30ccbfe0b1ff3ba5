// AVIFileInit/AVIFileExit, the RIFF limit and the refusal and failure hooks.
#include "api/library_settings.h"

#include <atomic>
#include <cstdlib>

#include "api/handles.h"
#include "codecs/codec_failure.h"
#include "avifile_hooks.h"
#include "platform_export.h"

namespace avifile::api {
namespace {

std::atomic<int> gLibraryReferences{0};
std::atomic<uint64_t> gRiffLimit{0};  // 0: not set by setRiffLimit
std::atomic<HRESULT> gFormatRefusal{AVIERR_OK};

}  // namespace

std::optional<uint64_t> parseByteCount(std::string_view text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0) {
        return std::nullopt;
    }
    return value;
}

ContainerSettings settingsForNewFile() {
    ContainerSettings settings;
    settings.riffLimit = riffLimit();
    return settings;
}

HRESULT formatRefusal() { return gFormatRefusal.load(); }

}  // namespace avifile::api

namespace avifile {

void setFormatRefusal(HRESULT status) { api::gFormatRefusal.store(status); }

void setCodecFailure(bool failing) { codecs::setCodecFailing(failing); }

void setRiffLimit(uint64_t bytes) { api::gRiffLimit.store(bytes); }

uint64_t riffLimit() {
    if (const uint64_t set = api::gRiffLimit.load(); set != 0) {
        return set;
    }
    if (const char* text = std::getenv("AVIFILE_RIFF_LIMIT"); text != nullptr) {
        if (const auto bytes = api::parseByteCount(text)) {
            return *bytes;
        }
    }
    return ContainerSettings{}.riffLimit;
}

int libraryReferences() { return api::gLibraryReferences.load(); }

int liveObjects() { return api::Registry::instance().liveObjects(); }

}  // namespace avifile

extern "C" AVIFILE_EXPORT void AVIFileInit(void) { ++avifile::api::gLibraryReferences; }

extern "C" AVIFILE_EXPORT void AVIFileExit(void) {
    // An unmatched AVIFileExit leaves the count at zero.
    int count = avifile::api::gLibraryReferences.load();
    while (count > 0 && !avifile::api::gLibraryReferences.compare_exchange_weak(count, count - 1)) {
    }
}
