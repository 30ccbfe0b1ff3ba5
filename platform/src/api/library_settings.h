// Library-wide state of the layer: the AVIFileInit count, the settings that
// new files take, and the test hook that refuses formats.
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

// The status that setFormatRefusal asked for (AVIERR_OK when none).
HRESULT formatRefusal();

}  // namespace avifile::api

#endif  // AVIFILE_API_LIBRARY_SETTINGS_H
