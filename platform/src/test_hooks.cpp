// The test hooks of avifile_test_hooks.h. This file is built into the test
// variant of the platform library and into unit tests, never into the
// library that is shipped: there the switches behind these calls keep their
// defaults, and nothing outside the library can reach them.
#include "avifile_test_hooks.h"

#include "api/handles.h"
#include "api/library_settings.h"
#include "api/test_switches.h"
#include "codecs/codec_failure.h"
#include "container/avi_writer.h"
#include "riff/file_system.h"

namespace avifile {

void setSaveOptionsHook(SaveOptionsHook hook) { api::setSaveOptionsHook(std::move(hook)); }

void* allocateOptionsBlock(size_t bytes) { return api::allocateOptionsBlock(bytes); }

void setFormatRefusal(HRESULT status) { api::setFormatRefusal(status); }

void setCodecFailure(bool failing) { codecs::setCodecFailing(failing); }

void setRiffLimit(uint64_t bytes) { api::setRiffLimit(bytes); }

uint64_t riffLimit() { return api::riffLimit(); }

void setRecordingNumbers(uint64_t first) { setRecordingNumberStart(first); }

void useFileSystem(FileSystem* replacement) { setFileSystem(replacement); }

int libraryReferences() { return api::libraryReferences(); }

int liveObjects() { return api::Registry::instance().liveObjects(); }

}  // namespace avifile
