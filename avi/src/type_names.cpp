// The file type that the plug-in writes, and the module-wide writer state.
#include "avi/avi_plugin.h"
#include "host/host_services.h"
#include "writer_state.h"

namespace {

const char kTypeName[] = "Microsoft AVI";
const char kExtension[] = "avi";

}  // namespace

WriterState writerState = {nullptr, nullptr, nullptr, 0, {}, {}, {&writerState.compressOptions}};

extern "C" {

void aviMovieGetInterfaceFileTypeDef(char** typeName, char** extension) {
    if (typeName != nullptr) {
        *typeName = jstr_Duplicate(kTypeName);
    }
    if (extension != nullptr) {
        *extension = jstr_Duplicate(kExtension);
    }
}

const char* aviMovieGetTypeName(void) { return kTypeName; }

}  // extern "C"
