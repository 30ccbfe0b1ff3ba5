// The base name that the record carries: the path without its last "." and
// what follows, for paths of any length.
#include <filesystem>

#include "plugin_harness.h"

namespace {

class BaseName : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (dir_.path().string().find('.') != std::string::npos) {
            GTEST_SKIP() << "the temporary folder's own path holds a dot";
        }
    }

    // Creates a movie at `path` and returns the record's base name; the
    // movie gets one frame and is closed.
    std::string baseNameOf(const std::string& path) {
        MovieRecord* movie = plugin().create(path.c_str(), 2, 2);
        EXPECT_NE(movie, nullptr) << path;
        if (movie == nullptr) {
            return {};
        }
        std::string base = movie->baseName != nullptr ? movie->baseName : "(null)";
        HostFrame frame(2, 2, 3);
        EXPECT_EQ(plugin().addFrame(movie, 2, 2, &frame.stack), 1);
        plugin().close(movie);
        EXPECT_TRUE(decodesTo(path, {&frame}));
        return base;
    }
};

TEST_F(BaseName, EndsBeforeTheLastDotOfTheFileName) {
    EXPECT_EQ(baseNameOf(dir_.file("movie.final.avi")), dir_.file("movie.final"));
}

TEST_F(BaseName, IsTheWholePathWithoutAnyDot) {
    EXPECT_EQ(baseNameOf(dir_.file("movie")), dir_.file("movie"));
}

TEST_F(BaseName, CutsAtADotInADirectoryName) {
    std::filesystem::create_directory(dir_.path() / "clips.old");
    EXPECT_EQ(baseNameOf(dir_.file("clips.old/take")), dir_.file("clips"));
}

TEST_F(BaseName, HandlesPathsLongerThan255Characters) {
    // Folders of 100 characters each, well past the old 256-byte limit.
    std::filesystem::path folder = dir_.path();
    for (int level = 0; level < 5; ++level) {
        folder /= std::string(100, static_cast<char>('a' + level));
    }
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "long.take.avi").string();
    ASSERT_GT(path.size(), 500u);
    EXPECT_EQ(baseNameOf(path), (folder / "long.take").string());
}

}  // namespace
