// The frame rate and stream name that the host's preferences give a movie.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "host/toolkit.h"
#include "plugin_harness.h"
#include "support/ffmpeg_tools.h"
#include "support/riff_reader.h"

namespace {

constexpr const char* kCategory = "vantorel_movies";

class Preferences : public PluginTest {
protected:
    // Records one small frame and reads back the stream.
    riffcheck::Stream recordOne(const std::string& name) {
        const std::string path = dir_.file(name);
        path_ = path;
        HostFrame frame(4, 2, 7);
        EXPECT_EQ(record(path, 4, 2, {&frame}), std::vector<int32_t>{1});
        const riffcheck::File file = riffcheck::parseFile(path);
        EXPECT_TRUE(file.ok()) << file.describeErrors();
        EXPECT_EQ(file.streams.size(), 1u);
        return file.streams.empty() ? riffcheck::Stream{} : file.streams[0];
    }
    std::string path_;
};

struct RateCase {
    const char* label;
    double speed;
    uint32_t rate;
};

void PrintTo(const RateCase& c, std::ostream* out) { *out << "moviespeed " << c.speed; }

class FrameRate : public Preferences, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FrameRate, IsTheSpeedRoundedOrTheDefault) {
    jpmg_SetNumberPreference(kCategory, "moviespeed", GetParam().speed);
    const riffcheck::Stream stream = recordOne("rate.avi");
    EXPECT_EQ(stream.header.rate, GetParam().rate);
    EXPECT_EQ(stream.header.scale, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rounding, FrameRate,
    ::testing::Values(RateCase{"HalfRoundsUp", 14.5, 15}, RateCase{"BelowHalfRoundsDown", 14.49, 14},
                      RateCase{"Whole", 30.0, 30}, RateCase{"SmallestThatRoundsToOne", 0.5, 1},
                      RateCase{"Largest", 2147483647.0, 2147483647u}),
    [](const ::testing::TestParamInfo<RateCase>& testInfo) { return testInfo.param.label; });

// Values without a usable time base fall back to 15 frames per second.
INSTANTIATE_TEST_SUITE_P(
    FallBackToDefault, FrameRate,
    ::testing::Values(RateCase{"RoundsToZero", 0.49, 15}, RateCase{"Zero", 0.0, 15},
                      RateCase{"Negative", -2.5, 15},
                      RateCase{"RoundsAboveLargest", 2147483647.5, 15},
                      RateCase{"Huge", 1e300, 15},
                      RateCase{"NotANumber", std::numeric_limits<double>::quiet_NaN(), 15},
                      RateCase{"Infinite", std::numeric_limits<double>::infinity(), 15},
                      RateCase{"MinusInfinite", -std::numeric_limits<double>::infinity(), 15}),
    [](const ::testing::TestParamInfo<RateCase>& testInfo) { return testInfo.param.label; });

TEST_F(Preferences, UnsetGivesFifteenFramesPerSecondAndTheDefaultName) {
    const riffcheck::Stream stream = recordOne("defaults.avi");
    EXPECT_EQ(stream.header.rate, 15u);
    EXPECT_EQ(stream.name, "BRELK");
    const auto probe = probeVideoStream(path_);
    EXPECT_EQ(probe.at("r_frame_rate"), "15/1");
    EXPECT_EQ(probe.at("TAG:title"), "BRELK");
}

TEST_F(Preferences, RoundedRateIsWhatReadersSee) {
    jpmg_SetNumberPreference(kCategory, "moviespeed", 14.5);
    recordOne("fifteen.avi");
    EXPECT_EQ(probeVideoStream(path_).at("r_frame_rate"), "15/1");
    jpmg_SetNumberPreference(kCategory, "moviespeed", 14.49);
    recordOne("fourteen.avi");
    EXPECT_EQ(probeVideoStream(path_).at("r_frame_rate"), "14/1");
}

TEST_F(Preferences, NumberPreferenceThatIsNotANumberCountsAsUnset) {
    jpmg_SetStringPreference(kCategory, "moviespeed", "fast");
    EXPECT_EQ(recordOne("text.avi").header.rate, 15u);
}

struct NameCase {
    size_t length;
    size_t kept;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.length << " characters"; }

class StreamName : public Preferences, public ::testing::WithParamInterface<NameCase> {};

TEST_P(StreamName, KeepsAtMostSixtyThreeCharactersAndNeedsTwo) {
    std::string name;
    for (size_t i = 0; i < GetParam().length; ++i) {
        name += static_cast<char>('a' + i % 26);
    }
    jpmg_SetStringPreference(kCategory, "moviestring", name.c_str());
    const riffcheck::Stream stream = recordOne("named.avi");
    if (GetParam().kept == 0) {
        EXPECT_FALSE(stream.hasName) << "a name of " << GetParam().length << " is dropped";
        EXPECT_EQ(probeVideoStream(path_).count("TAG:title"), 0u);
    } else {
        EXPECT_TRUE(stream.hasName);
        EXPECT_EQ(stream.name, name.substr(0, GetParam().kept));
        EXPECT_EQ(probeVideoStream(path_).at("TAG:title"), name.substr(0, GetParam().kept));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StreamName,
                         ::testing::Values(NameCase{0, 0}, NameCase{1, 0}, NameCase{2, 2},
                                           NameCase{63, 63}, NameCase{64, 63}, NameCase{70, 63}),
                         [](const ::testing::TestParamInfo<NameCase>& testInfo) {
                             return "Length" + std::to_string(testInfo.param.length);
                         });

TEST_F(Preferences, UserPreferenceFileApplies) {
    const std::string preferences = dir_.file("preferences.ini");
    {
        std::ofstream out(preferences);
        out << "[vantorel_movies]\nmoviespeed = 24\nmoviestring = Studio take\n";
    }
    ASSERT_EQ(jpmg_LoadPreferences(preferences.c_str()), 1);
    const riffcheck::Stream stream = recordOne("from-file.avi");
    EXPECT_EQ(stream.header.rate, 24u);
    EXPECT_EQ(stream.name, "Studio take");
}

// A host that never loads the store gets it loaded at the plug-in's first
// lookup. When the environment names something that is no preference file
// (a FIFO would block that lookup for ever, /dev/zero fill the memory), the
// movie gets the defaults at once. Each case runs in a fresh process, whose
// store is not loaded yet; an alarm ends one that hangs.
TEST(PreferencesFirstUse, NoPreferenceFileGivesTheDefaultsWithoutWaiting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& named : {dir.file("fifo"), std::string("/dev/zero")}) {
        const std::string movie = dir.file("first.avi");
        EXPECT_EXIT(
            {
                alarm(30);
                setenv("JHOST_PREFERENCES", named.c_str(), 1);
                setenv("VFW_COMPRESSOR", "full", 1);
                const PluginEntryPoints* plugin = loadedPlugin();
                HostFrame frame(4, 2, 3);
                MovieRecord* record = plugin->create(movie.c_str(), 4, 2);
                const bool added =
                    record != nullptr && plugin->addFrame(record, 4, 2, &frame.stack) == 1;
                if (record != nullptr) {
                    plugin->close(record);
                }
                const riffcheck::File file = riffcheck::parseFile(movie);
                std::exit(added && file.ok() && file.streams.size() == 1 &&
                                  file.streams[0].header.rate == 15 && file.streams[0].hasName &&
                                  file.streams[0].name == "BRELK"
                              ? 0
                              : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << named;
    }
}

}  // namespace
