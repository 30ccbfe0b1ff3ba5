// The built plug-in, loaded the way a host loads it and given back at the
// end of the scope.
#ifndef TESTS_FOUNDATION_PLUGIN_LIBRARY_H
#define TESTS_FOUNDATION_PLUGIN_LIBRARY_H

#include <string>

#include "plugin_loader.h"

using PluginEntryPoints = MoviePlugin;

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path) : loaded_(loadMoviePlugin(path, plugin_, error_)) {}
    ~PluginLibrary() { unloadMoviePlugin(plugin_); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Whether the library loaded and all five entry points were found;
    // otherwise error() says why.
    bool loaded() const { return loaded_; }
    const std::string& error() const { return error_; }
    const PluginEntryPoints& entry() const { return plugin_; }

private:
    MoviePlugin plugin_;
    std::string error_;
    bool loaded_;
};

#endif  // TESTS_FOUNDATION_PLUGIN_LIBRARY_H
