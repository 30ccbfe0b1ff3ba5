// The plug-in's library opened and its entry points looked up, with the
// system's loader: dlopen on Linux, LoadLibrary on Windows.
#include "plugin_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <system_error>
#endif

namespace {

#ifdef _WIN32
void* openLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load the plug-in " + path + " (error " + std::to_string(GetLastError()) + ")";
    }
    return reinterpret_cast<void*>(module);
}

void* findSymbol(void* library, const char* name) {
    // GetProcAddress hands out every export as a FARPROC; the host knows
    // each one's real signature.
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* openLibrary(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = "cannot load the plug-in " + path + ": " + (reason != nullptr ? reason : "unknown");
    }
    return library;
}

void* findSymbol(void* library, const char* name) { return dlsym(library, name); }

void closeLibrary(void* library) { dlclose(library); }
#endif

template <typename Function>
bool resolve(void* library, const char* name, Function& function, std::string& error) {
    void* symbol = findSymbol(library, name);
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
    plugin.library = openLibrary(path, error);
    if (plugin.library == nullptr) {
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
        closeLibrary(plugin.library);
    }
    plugin = MoviePlugin{};
}

#ifdef _WIN32
std::string defaultPluginPath() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self, length < MAX_PATH ? length : 0);
    const size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
    return folder + "avi.dll";
}
#else
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
#endif
