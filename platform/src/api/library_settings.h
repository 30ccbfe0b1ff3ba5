// Library-wide state of the layer: the AVIFileInit count, the settings that
// new files take, and the switch that refuses formats (set by a test hook).
#ifndef AVIFILE_API_LIBRARY_SETTINGS_H
#define AVIFILE_API_LIBRARY_SETTINGS_H

#include <cstdint>
#include <optional>
#include <string_view>

#include "avifile.h"
#include "container/avi_writer.h"

namespace avifile::api {

// The container settings for a file opened now: the RIFF limit from
// setRiffLimit, else from AVIFILE_RIFF_LIMIT, else the container's default;
// the flush interval likewise from setSyncInterval or AVIFILE_SYNC_SECONDS.
ContainerSettings settingsForNewFile();

// A byte count as AVIFILE_RIFF_LIMIT gives it: decimal digits only, above 0.
std::optional<uint64_t> parseByteCount(std::string_view text);

// The RIFF limit for a file opened now: the one of setRiffLimit, else
// AVIFILE_RIFF_LIMIT, else the container's default.
uint64_t riffLimit();

// The status that setFormatRefusal asked for (AVIERR_OK when none).
HRESULT formatRefusal();

}  // namespace avifile::api

#endif  // AVIFILE_API_LIBRARY_SETTINGS_H
