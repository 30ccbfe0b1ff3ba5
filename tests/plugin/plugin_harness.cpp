#include "plugin_harness.h"

#include <cstdlib>

#include "avifile_test_hooks.h"
#include "host/toolkit.h"
#include "support/ffmpeg_tools.h"

const PluginEntryPoints* loadedPlugin() {
    static MoviePlugin plugin;
    if (plugin.library == nullptr) {
        std::string error;
        if (!loadMoviePlugin(AVI_PLUGIN_PATH, plugin, error)) {
            ADD_FAILURE() << error;
            return nullptr;
        }
    }
    return &plugin;
}

HostFrame::HostFrame(int frameWidth, int frameHeight, uint32_t seed)
    : width(frameWidth), height(frameHeight), blocks{}, bandList{}, stack{} {
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
    red.resize(samples);
    green.resize(samples);
    blue.resize(samples);
    // A small linear congruential generator: every sample differs from its
    // neighbours and from the same sample of a frame with another seed.
    uint32_t state = seed * 2654435761u + 1u;
    for (size_t i = 0; i < samples; ++i) {
        state = state * 1664525u + 1013904223u;
        red[i] = static_cast<uint8_t>(state >> 24);
        green[i] = static_cast<uint8_t>(state >> 16);
        blue[i] = static_cast<uint8_t>(state >> 8);
    }
    // The host's bytes before the fields the plug-in reads hold rubbish.
    for (BandBlock& block : blocks) {
        std::fill(std::begin(block.hostReserved), std::end(block.hostReserved), 0xA5);
    }
    std::fill(std::begin(stack.hostReserved), std::end(stack.hostReserved), 0x5A);
    blocks[0].data = red.data();
    blocks[1].data = green.data();
    blocks[2].data = blue.data();
    for (int band = 0; band < 3; ++band) {
        bandList[band] = &blocks[band];
    }
    stack.bands = bandList;
}

std::vector<uint8_t> HostFrame::packedRgb() const {
    std::vector<uint8_t> packed;
    packed.reserve(red.size() * 3);
    for (size_t i = 0; i < red.size(); ++i) {
        packed.push_back(red[i]);
        packed.push_back(green[i]);
        packed.push_back(blue[i]);
    }
    return packed;
}

void PluginTest::SetUp() {
    plugin_ = loadedPlugin();
    ASSERT_NE(plugin_, nullptr);
    jpmg_ClearPreferences();
    setenv("VFW_COMPRESSOR", "full", 1);
    avifile::setSaveOptionsHook({});
    avifile::setFormatRefusal(AVIERR_OK);
    jmsc_HeapFailAfter(-1);
    jvis_SetMessageHandler(collectMessage, this);
    ASSERT_EQ(jmsc_HeapLiveBlocks(), 0u) << "an earlier test left host-heap blocks";
    ASSERT_EQ(avifile::libraryReferences(), 0);
    ASSERT_EQ(avifile::liveObjects(), 0);
}

void PluginTest::TearDown() {
    jmsc_HeapFailAfter(-1);
    avifile::setSaveOptionsHook({});
    avifile::setFormatRefusal(AVIERR_OK);
    jvis_SetMessageHandler(nullptr, nullptr);
    unsetenv("VFW_COMPRESSOR");
    EXPECT_EQ(jmsc_HeapLiveBlocks(), 0u) << "host-heap blocks left allocated";
    EXPECT_EQ(jmsc_HeapLiveBytes(), 0u);
    EXPECT_EQ(avifile::libraryReferences(), 0) << "AVIFileInit without AVIFileExit";
    EXPECT_EQ(avifile::liveObjects(), 0) << "file or stream objects not released";
}

void PluginTest::collectMessage(const char* text, void* context) {
    static_cast<PluginTest*>(context)->messages_.emplace_back(text);
}

std::vector<int32_t> PluginTest::record(const std::string& path, int width, int height,
                                        const std::vector<const HostFrame*>& frames) {
    std::vector<int32_t> results;
    MovieRecord* movie = plugin().create(path.c_str(), width, height);
    EXPECT_NE(movie, nullptr) << "creating " << path;
    if (movie == nullptr) {
        return results;
    }
    for (const HostFrame* frame : frames) {
        results.push_back(plugin().addFrame(movie, frame->width, frame->height, &frame->stack));
    }
    plugin().close(movie);
    return results;
}

::testing::AssertionResult decodesTo(const std::string& path,
                                     const std::vector<const HostFrame*>& frames) {
    DecodedVideo video;
    if (!decodeVideo(path, video)) {
        return ::testing::AssertionFailure() << "ffmpeg cannot decode " << path;
    }
    if (video.frames.size() != frames.size()) {
        return ::testing::AssertionFailure()
               << path << " holds " << video.frames.size() << " frames, not " << frames.size();
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        if (video.width != frames[i]->width || video.height != frames[i]->height) {
            return ::testing::AssertionFailure() << path << " is " << video.width << "x"
                                                 << video.height << ", not " << frames[i]->width
                                                 << "x" << frames[i]->height;
        }
        const std::vector<uint8_t> expected = frames[i]->packedRgb();
        if (video.frames[i] != expected) {
            size_t at = 0;
            while (at < expected.size() && video.frames[i][at] == expected[at]) {
                ++at;
            }
            const size_t pixel = at / 3;
            return ::testing::AssertionFailure()
                   << "frame " << i << " differs first at x " << pixel % frames[i]->width
                   << ", y " << pixel / frames[i]->width << ", channel " << at % 3;
        }
    }
    return ::testing::AssertionSuccess();
}
