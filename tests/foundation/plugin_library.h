// The built plug-in, loaded the way a host loads it: by path, every symbol
// bound at once, the entry points looked up by name.
#ifndef TESTS_FOUNDATION_PLUGIN_LIBRARY_H
#define TESTS_FOUNDATION_PLUGIN_LIBRARY_H

#include <string>

#include "avi/avi_plugin.h"

struct PluginEntryPoints {
    decltype(&aviMovieGetInterfaceFileTypeDef) getInterfaceFileTypeDef = nullptr;
    decltype(&aviMovieGetTypeName) getTypeName = nullptr;
    decltype(&aviMovieCreate) create = nullptr;
    decltype(&aviMovieAddFrame) addFrame = nullptr;
    decltype(&aviMovieClose) close = nullptr;
};

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Whether the library loaded and all five entry points were found;
    // otherwise error() says why.
    bool loaded() const { return complete_; }
    const std::string& error() const { return error_; }
    const PluginEntryPoints& entry() const { return entry_; }

private:
    void* handle_ = nullptr;
    bool complete_ = false;
    std::string error_;
    PluginEntryPoints entry_;
};

#endif  // TESTS_FOUNDATION_PLUGIN_LIBRARY_H
