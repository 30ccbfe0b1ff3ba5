#include "plugin_loader.h"

namespace {

// The address of an export, as the function pointer type of `target`.
template <typename Function>
bool resolve(HMODULE module, const char* name, Function& target, std::string& error) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        error = std::string("the plug-in does not export ") + name;
        return false;
    }
    // GetProcAddress hands out every export as a FARPROC; the host knows each
    // one's real signature.
    target = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
    return true;
}

}  // namespace

bool loadMoviePlugin(const std::string& path, MoviePlugin& plugin, std::string& error) {
    plugin = MoviePlugin{};
    plugin.module = LoadLibraryA(path.c_str());
    if (plugin.module == nullptr) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const bool complete =
        resolve(plugin.module, "aviMovieGetInterfaceFileTypeDef", plugin.getInterfaceFileTypeDef,
                error) &&
        resolve(plugin.module, "aviMovieGetTypeName", plugin.getTypeName, error) &&
        resolve(plugin.module, "aviMovieCreate", plugin.create, error) &&
        resolve(plugin.module, "aviMovieAddFrame", plugin.addFrame, error) &&
        resolve(plugin.module, "aviMovieClose", plugin.close, error);
    if (!complete) {
        unloadMoviePlugin(plugin);
    }
    return complete;
}

void unloadMoviePlugin(MoviePlugin& plugin) {
    if (plugin.module != nullptr) {
        FreeLibrary(plugin.module);
    }
    plugin = MoviePlugin{};
}

std::string besideThisProgram(const char* fileName) {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder(self, length < MAX_PATH ? length : 0);
    const size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
    return folder + fileName;
}
