// The plug-in's dynamic symbol table holds the five entry points and nothing
// else, and a host can load the library and find all five.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "plugin_library.h"
#include "support/ffmpeg_tools.h"

namespace {

// Names of the symbols that the library defines in its dynamic symbol table,
// as `nm -D --defined-only` lists them ("address type name" per line).
std::set<std::string> definedDynamicSymbols(const std::string& library, int& status) {
    std::string listing;
    status = runCommand("nm -D --defined-only " + shellQuote(library), &listing);
    std::set<std::string> names;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string type;
        std::string name;
        if (fields >> address >> type >> name) {
            names.insert(name);
        }
    }
    return names;
}

TEST(PluginExports, DynamicSymbolTableHoldsExactlyTheFiveEntryPoints) {
    int status = -1;
    const std::set<std::string> exported = definedDynamicSymbols(AVI_PLUGIN_PATH, status);
    ASSERT_EQ(status, 0) << "nm could not read " << AVI_PLUGIN_PATH;
    const std::set<std::string> expected = {"aviMovieAddFrame", "aviMovieClose", "aviMovieCreate",
                                            "aviMovieGetInterfaceFileTypeDef",
                                            "aviMovieGetTypeName"};
    EXPECT_EQ(exported, expected);
}

// The shared libraries that the plug-in names as its dependencies.
std::set<std::string> neededLibraries(const std::string& library, int& status) {
    std::string listing;
    status = runCommand("objdump -p " + shellQuote(library), &listing);
    std::set<std::string> names;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string tag;
        std::string name;
        if (fields >> tag >> name && tag == "NEEDED") {
            names.insert(name);
        }
    }
    return names;
}

TEST(PluginExports, LinksTheChosenToolkitGenerationAndTheMessageLibrary) {
    int status = -1;
    const std::set<std::string> needed = neededLibraries(AVI_PLUGIN_PATH, status);
    ASSERT_EQ(status, 0);
    const std::string chosen = AVI_HOST_TOOLKIT_NAME;
    const std::string other = chosen == "jlib" ? "jraster" : "jlib";
    EXPECT_EQ(needed.count("lib" + chosen + ".so"), 1u) << "the toolkit chosen at configure time";
    EXPECT_EQ(needed.count("lib" + other + ".so"), 0u);
    EXPECT_EQ(needed.count("libjvislib.so"), 1u);
}

TEST(PluginExports, HostCanLoadTheLibraryAndFindEveryEntryPoint) {
    const PluginLibrary plugin(AVI_PLUGIN_PATH);
    EXPECT_TRUE(plugin.loaded()) << plugin.error();
}

}  // namespace
