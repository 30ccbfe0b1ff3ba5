// What the plug-in's end-to-end tests share: the plug-in loaded once with
// dlopen, a fixture that leaves the host and the platform as it found them
// and checks that nothing is left allocated, and frames with known pixels.
#ifndef TESTS_PLUGIN_PLUGIN_HARNESS_H
#define TESTS_PLUGIN_PLUGIN_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "avi/avi_plugin.h"
#include "plugin_loader.h"
#include "support/temp_dir.h"

// The plug-in's five entry points, resolved by name.
using PluginEntryPoints = MoviePlugin;

// Loads the built plug-in on first use; null (with a test failure) when it
// cannot be loaded.
const PluginEntryPoints* loadedPlugin();

// A frame as a host hands it over: three planes and the band records over
// them. The pixels follow from the seed, so that any two frames differ.
struct HostFrame {
    int width;
    int height;
    std::vector<uint8_t> red;
    std::vector<uint8_t> green;
    std::vector<uint8_t> blue;
    BandBlock blocks[3];
    BandBlock* bandList[3];
    BandStack stack;

    HostFrame(int frameWidth, int frameHeight, uint32_t seed);
    HostFrame(const HostFrame&) = delete;
    HostFrame& operator=(const HostFrame&) = delete;

    // The frame as ffmpeg's rgb24 gives it back: top row first, r g b.
    std::vector<uint8_t> packedRgb() const;
};

// Every test starts with an empty preference store, Full Frames as the
// dialog's answer, no hooks and the host heap empty, and must end with the
// host heap empty, every library reference given back and every file and
// stream object released.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const PluginEntryPoints& plugin() const { return *plugin_; }

    // Creates a movie, adds the frames and closes it; the results of
    // add-frame in order.
    std::vector<int32_t> record(const std::string& path, int width, int height,
                                const std::vector<const HostFrame*>& frames);

    // Messages the plug-in showed during the test.
    const std::vector<std::string>& messages() const { return messages_; }

    TempDir dir_;

private:
    static void collectMessage(const char* text, void* context);

    const PluginEntryPoints* plugin_ = nullptr;
    std::vector<std::string> messages_;
};

// Success when ffmpeg decodes exactly `frames` from the movie, pixel for pixel.
::testing::AssertionResult decodesTo(const std::string& path,
                                     const std::vector<const HostFrame*>& frames);

#endif  // TESTS_PLUGIN_PLUGIN_HARNESS_H
