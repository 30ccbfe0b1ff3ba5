// Loads the movie writer DLL as a host does: LoadLibrary, then each of the
// five entry points by its undecorated name.
#ifndef WINDOWS_PLUGIN_LOADER_H
#define WINDOWS_PLUGIN_LOADER_H

#include <windows.h>

#include <string>

#include "avi/avi_plugin.h"

struct MoviePlugin {
    HMODULE module;
    void (*getInterfaceFileTypeDef)(char** typeName, char** extension);
    const char* (*getTypeName)(void);
    MovieRecord* (*create)(const char* path, int32_t width, int32_t height);
    int32_t (*addFrame)(MovieRecord* movie, int32_t width, int32_t height, const BandStack* frame);
    void (*close)(MovieRecord* movie);
};

// Loads the DLL at `path` into `plugin`. False with `error` set when the DLL
// cannot be loaded or lacks an entry point (the DLL is then unloaded again).
bool loadMoviePlugin(const std::string& path, MoviePlugin& plugin, std::string& error);

void unloadMoviePlugin(MoviePlugin& plugin);

// The DLL of that name beside the running program.
std::string besideThisProgram(const char* fileName);

#endif  // WINDOWS_PLUGIN_LOADER_H
