// dlopen / dlsym of the plug-in's exports.
#include "plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace {

template <typename Function>
bool resolve(void* library, const char* name, Function& function, std::string& error) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        error = std::string("the plug-in has no entry point ") + name;
        return false;
    }
    function = reinterpret_cast<Function>(symbol);
    return true;
}

}  // namespace

bool loadMoviePlugin(const std::string& path, MoviePlugin& plugin, std::string& error) {
    plugin = MoviePlugin{};
    plugin.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin.library == nullptr) {
        const char* reason = dlerror();
        error = "cannot load the plug-in " + path + ": " + (reason != nullptr ? reason : "unknown");
        return false;
    }
    if (!resolve(plugin.library, "aviMovieGetInterfaceFileTypeDef", plugin.getInterfaceFileTypeDef,
                 error) ||
        !resolve(plugin.library, "aviMovieGetTypeName", plugin.getTypeName, error) ||
        !resolve(plugin.library, "aviMovieCreate", plugin.create, error) ||
        !resolve(plugin.library, "aviMovieAddFrame", plugin.addFrame, error) ||
        !resolve(plugin.library, "aviMovieClose", plugin.close, error)) {
        error += " (" + path + ")";
        unloadMoviePlugin(plugin);
        return false;
    }
    return true;
}

void unloadMoviePlugin(MoviePlugin& plugin) {
    if (plugin.library != nullptr) {
        dlclose(plugin.library);
    }
    plugin = MoviePlugin{};
}

std::string defaultPluginPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return "libavi.so";
    }
    self[length] = '\0';
    const std::filesystem::path folder = std::filesystem::path(self).parent_path();
    // Installed, the plug-in lies in its private folder; in the build tree,
    // beside the libraries built with avirec.
    const std::filesystem::path installed = folder / AVIREC_INSTALLED_PLUGIN;
    std::error_code failed;
    if (std::filesystem::exists(installed, failed)) {
        return installed.lexically_normal().string();
    }
    return (folder.parent_path() / "lib" / "libavi.so").string();
}
