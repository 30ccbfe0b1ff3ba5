// AVIFileInit/AVIFileExit, the RIFF limit, how files are written (direct or
// buffered, flushed how often) and the switch that refuses formats.
#include "api/library_settings.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "api/test_switches.h"
#include "avifile_hooks.h"
#include "platform_export.h"

namespace avifile::api {
namespace {

std::atomic<int> gLibraryReferences{0};
std::atomic<uint64_t> gRiffLimit{0};  // 0: not set by setRiffLimit
std::atomic<HRESULT> gFormatRefusal{AVIERR_OK};
std::atomic<WriteMode> gWriteMode{WriteMode::Unset};
std::atomic<uint64_t> gDirectThreshold{0};  // 0: not set by setDirectThreshold
std::atomic<double> gSyncSeconds{-1.0};  // negative: not set by setSyncInterval

// AVIFILE_SYNC_SECONDS: a plain decimal number of seconds, 0 or more.
std::optional<double> parseSeconds(const char* text) {
    if (text == nullptr || text[0] == '\0' || std::strlen(text) > 32) {
        return std::nullopt;
    }
    double value = 0.0;
    double scale = 0.0;  // 0 before the point, then the place of the next digit
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '.' && scale == 0.0) {
            scale = 0.1;
        } else if (*c >= '0' && *c <= '9') {
            if (scale == 0.0) {
                value = value * 10 + (*c - '0');
            } else {
                value += (*c - '0') * scale;
                scale /= 10;
            }
        } else {
            return std::nullopt;
        }
    }
    return value;
}

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
    settings.syncSeconds = syncInterval();
    return settings;
}

HRESULT formatRefusal() { return gFormatRefusal.load(); }

void setFormatRefusal(HRESULT status) { gFormatRefusal.store(status); }

void setRiffLimit(uint64_t bytes) { gRiffLimit.store(bytes); }

uint64_t riffLimit() {
    if (const uint64_t set = gRiffLimit.load(); set != 0) {
        return set;
    }
    if (const char* text = std::getenv("AVIFILE_RIFF_LIMIT"); text != nullptr) {
        if (const auto bytes = parseByteCount(text)) {
            return *bytes;
        }
    }
    return ContainerSettings{}.riffLimit;
}

int libraryReferences() { return gLibraryReferences.load(); }

}  // namespace avifile::api

namespace avifile {

void setWriteMode(WriteMode mode) { api::gWriteMode.store(mode); }

WriteMode writeMode() {
    if (const WriteMode set = api::gWriteMode.load(); set != WriteMode::Unset) {
        return set;
    }
    if (const char* text = std::getenv("AVIFILE_WRITE_MODE"); text != nullptr) {
        const std::string_view name(text);
        if (name == "direct") {
            return WriteMode::Direct;
        }
        if (name == "buffered") {
            return WriteMode::Buffered;
        }
    }
    return WriteMode::Automatic;
}

FileSinkOptions fileSinkOptions() {
    FileSinkOptions options;
    options.mode = writeMode();
    options.directAfterBytes = directThreshold();
    options.sync = syncing();
    return options;
}

void setDirectThreshold(uint64_t bytes) { api::gDirectThreshold.store(bytes); }

uint64_t directThreshold() {
    if (const uint64_t set = api::gDirectThreshold.load(); set != 0) {
        return set;
    }
    if (const char* text = std::getenv("AVIFILE_DIRECT_AFTER"); text != nullptr) {
        if (const auto bytes = api::parseByteCount(text)) {
            return *bytes;
        }
    }
    return FileSinkOptions{}.directAfterBytes;
}

bool syncing() {
    const char* text = std::getenv("AVIFILE_SYNC");
    return text == nullptr || (std::strcmp(text, "off") != 0 && std::strcmp(text, "0") != 0);
}

void setSyncInterval(double seconds) {
    api::gSyncSeconds.store(seconds >= 0.0 && std::isfinite(seconds) ? seconds : -1.0);
}

double syncInterval() {
    if (const double set = api::gSyncSeconds.load(); set >= 0.0) {
        return set;
    }
    return api::parseSeconds(std::getenv("AVIFILE_SYNC_SECONDS")).value_or(kDefaultSyncSeconds);
}

}  // namespace avifile

extern "C" AVIFILE_EXPORT void AVIFileInit(void) { ++avifile::api::gLibraryReferences; }

extern "C" AVIFILE_EXPORT void AVIFileExit(void) {
    // An unmatched AVIFileExit leaves the count at zero.
    int count = avifile::api::gLibraryReferences.load();
    while (count > 0 && !avifile::api::gLibraryReferences.compare_exchange_weak(count, count - 1)) {
    }
}
