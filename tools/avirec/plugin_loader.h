// Loading the movie-writer plug-in as a host does: by path (dlopen, or
// LoadLibrary on Windows), then its five entry points by name.
#ifndef AVIREC_PLUGIN_LOADER_H
#define AVIREC_PLUGIN_LOADER_H

#include <string>

#include "avi/avi_plugin.h"

struct MoviePlugin {
    void* library = nullptr;  // the dlopen handle, or the module's HMODULE
    decltype(&aviMovieGetInterfaceFileTypeDef) getInterfaceFileTypeDef = nullptr;
    decltype(&aviMovieGetTypeName) getTypeName = nullptr;
    decltype(&aviMovieCreate) create = nullptr;
    decltype(&aviMovieAddFrame) addFrame = nullptr;
    decltype(&aviMovieClose) close = nullptr;
};

// Loads the plug-in at `path`. False with the reason in `error` when the
// library cannot be loaded or lacks an entry point.
bool loadMoviePlugin(const std::string& path, MoviePlugin& plugin, std::string& error);

// Unloads it; the entry points are unusable afterwards.
void unloadMoviePlugin(MoviePlugin& plugin);

// The plug-in a host loads when told none: on Linux the one installed with
// the program, else the one built with it (lib/libavi.so beside the
// program's bin folder); on Windows avi.dll beside the program.
std::string defaultPluginPath();

#endif  // AVIREC_PLUGIN_LOADER_H
