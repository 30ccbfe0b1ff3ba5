#include "plugin_library.h"

#include <dlfcn.h>

namespace {

template <typename Function>
bool lookUp(void* handle, const char* name, Function& function, std::string& error) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (function == nullptr) {
        error += std::string("missing entry point ") + name + "; ";
        return false;
    }
    return true;
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "dlopen failed";
        return;
    }
    bool found = true;
    found &= lookUp(handle_, "aviMovieGetInterfaceFileTypeDef", entry_.getInterfaceFileTypeDef, error_);
    found &= lookUp(handle_, "aviMovieGetTypeName", entry_.getTypeName, error_);
    found &= lookUp(handle_, "aviMovieCreate", entry_.create, error_);
    found &= lookUp(handle_, "aviMovieAddFrame", entry_.addFrame, error_);
    found &= lookUp(handle_, "aviMovieClose", entry_.close, error_);
    complete_ = found;
}

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}
