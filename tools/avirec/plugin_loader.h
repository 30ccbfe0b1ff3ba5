// Loading the movie-writer plug-in as a host does: by path, then its five
// entry points by name.
#ifndef AVIREC_PLUGIN_LOADER_H
#define AVIREC_PLUGIN_LOADER_H

#include <string>

#include "avi/avi_plugin.h"

struct MoviePlugin {
    void* library = nullptr;
    void (*getInterfaceFileTypeDef)(char**, char**) = nullptr;
    const char* (*getTypeName)() = nullptr;
    MovieRecord* (*create)(const char*, int32_t, int32_t) = nullptr;
    int32_t (*addFrame)(MovieRecord*, int32_t, int32_t, const BandStack*) = nullptr;
    void (*close)(MovieRecord*) = nullptr;
};

// Loads the plug-in at `path`. False with the reason in `error` when the
// library cannot be loaded or lacks an entry point.
bool loadMoviePlugin(const std::string& path, MoviePlugin& plugin, std::string& error);

// Unloads it; the entry points are unusable afterwards.
void unloadMoviePlugin(MoviePlugin& plugin);

// The plug-in that avirec was installed with, else the one built with it
// (lib/libavi.so beside the program's bin folder).
std::string defaultPluginPath();

#endif  // AVIREC_PLUGIN_LOADER_H
