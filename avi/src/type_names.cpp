// The file type that the plug-in writes: its name and file extension.
#include "avi/avi_plugin.h"
#include "host/host_services.h"

namespace {

const char kTypeName[] = "Microsoft AVI";
const char kExtension[] = "avi";

}  // namespace

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
