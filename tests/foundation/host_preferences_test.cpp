// The host's preference store: the INI file, where it is found, lookups with
// defaults, and settings made by the host program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "host/toolkit.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kCategory = "vantorel_movies";

// Sets or unsets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

double number(const char* category, const char* key, double fallback = -1.0) {
    return jpmg_GetNumberPreference(category, key, fallback, nullptr);
}

std::string text(const char* category, const char* key, const char* fallback = "<default>") {
    const char* value = jpmg_GetStringPreference(category, key, fallback, nullptr);
    return value == nullptr ? "<null>" : value;
}

class HostPreferences : public ::testing::Test {
protected:
    void SetUp() override { jpmg_ClearPreferences(); }
    void TearDown() override { jpmg_ClearPreferences(); }

    // Loads `contents` as the preference file.
    void load(const std::string& contents) {
        const std::string path = dir_.file("preferences.ini");
        writeFile(path, contents);
        ASSERT_EQ(jpmg_LoadPreferences(path.c_str()), 1);
    }

    TempDir dir_;
};

TEST_F(HostPreferences, FileWithSectionsCommentsQuotesAndWhitespace) {
    load("# movie settings\n"
         "; written by hand\n"
         "orphan = 3\n"
         "[vantorel_movies]\n"
         "   moviespeed   =   24   \n"
         "moviestring = \"  spaced name  \"\n"
         "\n"
         "  # indented comment\n"
         "equation = a=b\n"
         "[ other ]\n"
         "moviespeed=5\n"
         "junk line without equals\n"
         "empty =\n");
    EXPECT_EQ(number(kCategory, "moviespeed"), 24.0);
    EXPECT_EQ(text(kCategory, "moviestring"), "  spaced name  ");
    EXPECT_EQ(text(kCategory, "equation"), "a=b") << "only the first '=' separates";
    EXPECT_EQ(number("other", "moviespeed"), 5.0) << "section names are trimmed";
    EXPECT_EQ(text("other", "empty"), "");
    EXPECT_EQ(text(kCategory, "orphan"), "<default>") << "keys before any section are skipped";
    EXPECT_EQ(text("", "orphan"), "<default>");
    EXPECT_EQ(text(kCategory, "# movie settings"), "<default>");
}

TEST_F(HostPreferences, FileDetailsLastValueWinsCaseMattersCrLfAndByteOrderMark) {
    load("\xEF\xBB\xBF[vantorel_movies]\r\n"
         "moviespeed = 10\r\n"
         "moviespeed = 12\r\n"
         "MovieString = upper\r\n"
         "moviestring = lower\r\n");
    EXPECT_EQ(number(kCategory, "moviespeed"), 12.0);
    EXPECT_EQ(text(kCategory, "moviestring"), "lower");
    EXPECT_EQ(text(kCategory, "MovieString"), "upper");
    EXPECT_EQ(text("Vantorel_Movies", "moviestring"), "<default>");
}

TEST_F(HostPreferences, BrokenSectionLineFilesNothingUnderThePreviousSection) {
    load("[vantorel_movies]\n"
         "moviespeed = 30\n"
         "[unfinished\n"
         "moviestring = lost\n");
    EXPECT_EQ(number(kCategory, "moviespeed"), 30.0);
    EXPECT_EQ(text(kCategory, "moviestring"), "<default>");
}

TEST_F(HostPreferences, MissingKeysAndCategoriesGiveTheDefault) {
    load("[vantorel_movies]\nmoviespeed = 25\n");
    EXPECT_EQ(number(kCategory, "absent", 15.0), 15.0);
    EXPECT_EQ(number("absent_category", "moviespeed", 15.0), 15.0);
    const char* fallback = "BRELK";
    EXPECT_EQ(jpmg_GetStringPreference(kCategory, "moviestring", fallback, nullptr), fallback)
        << "the caller's own default text comes back";
    EXPECT_EQ(jpmg_GetStringPreference(kCategory, "moviestring", nullptr, nullptr), nullptr);
}

TEST_F(HostPreferences, NumberTextsThatAreNotNumbersGiveTheDefault) {
    load("[n]\n"
         "word = fast\n"
         "suffix = 15fps\n"
         "two = 1 2\n"
         "hex = 0x10\n"
         "hexfloat = 0x1p4\n"
         "binary = 0b101\n"
         "grouped = 1_000\n"
         "twosigns = +-25\n"
         "twoplus = ++25\n"
         "comma = 29,97\n"
         "empty =\n"
         "huge = 1e999\n"
         "infinite = -inf\n"
         "nan = nan\n"
         "plain = 30\n"
         "fraction = 29.97\n"
         "negative = -2.5\n"
         "plus = +7\n"
         "exponent = 1e3\n"
         "quoted = \" 8 \"\n");
    for (const char* key : {"word", "suffix", "two", "hex", "hexfloat", "binary", "grouped",
                            "twosigns", "twoplus", "comma",
                            "empty", "huge"}) {
        EXPECT_EQ(number("n", key, 15.0), 15.0) << key;
    }
    EXPECT_EQ(number("n", "plain"), 30.0);
    EXPECT_EQ(number("n", "fraction"), 29.97);
    EXPECT_EQ(number("n", "negative"), -2.5);
    EXPECT_EQ(number("n", "plus"), 7.0);
    EXPECT_EQ(number("n", "exponent"), 1000.0);
    EXPECT_EQ(number("n", "quoted"), 8.0);
    // Any double a host may store reads back, the special values included.
    EXPECT_EQ(number("n", "infinite"), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(number("n", "nan")));
    // The text of a number preference stays readable as text.
    EXPECT_EQ(text("n", "suffix"), "15fps");
}

TEST_F(HostPreferences, LookupsSetTheErrorReportPointerToNull) {
    load("[vantorel_movies]\nmoviespeed = 20\nmoviestring = name\n");
    ErrorReport* const junk = reinterpret_cast<ErrorReport*>(static_cast<uintptr_t>(0x1234));
    for (const char* key : {"moviespeed", "absent"}) {
        ErrorReport* report = junk;
        jpmg_GetNumberPreference(kCategory, key, 1.0, &report);
        EXPECT_EQ(report, nullptr) << key;
        report = junk;
        jpmg_GetStringPreference(kCategory, key, "x", &report);
        EXPECT_EQ(report, nullptr) << key;
    }
}

TEST_F(HostPreferences, HostProgramSetsReplacesAndRemovesSettings) {
    load("[vantorel_movies]\nmoviespeed = 20\n");
    jpmg_SetNumberPreference(kCategory, "moviespeed", 29.97);
    jpmg_SetStringPreference(kCategory, "moviestring", "set in process");
    jpmg_SetNumberPreference("new_category", "count", 3);
    EXPECT_EQ(number(kCategory, "moviespeed"), 29.97) << "a number reads back exactly";
    EXPECT_EQ(text(kCategory, "moviespeed"), "29.97");
    EXPECT_EQ(text(kCategory, "moviestring"), "set in process");
    EXPECT_EQ(number("new_category", "count"), 3.0);
    jpmg_SetNumberPreference(kCategory, "unbounded", std::numeric_limits<double>::infinity());
    EXPECT_EQ(number(kCategory, "unbounded"), std::numeric_limits<double>::infinity());

    jpmg_SetStringPreference(kCategory, "moviespeed", "12");
    EXPECT_EQ(number(kCategory, "moviespeed"), 12.0) << "a text setting reads as a number";
    jpmg_SetStringPreference(kCategory, "moviespeed", "soon");
    EXPECT_EQ(number(kCategory, "moviespeed", 15.0), 15.0);

    jpmg_RemovePreference(kCategory, "moviespeed");
    EXPECT_EQ(number(kCategory, "moviespeed", 15.0), 15.0);
    EXPECT_EQ(text(kCategory, "moviestring"), "set in process") << "other keys stay";
    jpmg_RemovePreference("no_such_category", "key");

    jpmg_ClearPreferences();
    EXPECT_EQ(text(kCategory, "moviestring"), "<default>");
    EXPECT_EQ(number("new_category", "count"), -1.0);
}

TEST_F(HostPreferences, LoadingReplacesTheStoreAndAnUnreadableFileEmptiesIt) {
    load("[vantorel_movies]\nmoviespeed = 20\n");
    jpmg_SetStringPreference(kCategory, "moviestring", "in process");
    load("[vantorel_movies]\nmoviestring = from file\n");
    EXPECT_EQ(text(kCategory, "moviestring"), "from file");
    EXPECT_EQ(number(kCategory, "moviespeed"), -1.0);

    EXPECT_EQ(jpmg_LoadPreferences(dir_.file("absent.ini").c_str()), 0);
    EXPECT_EQ(text(kCategory, "moviestring"), "<default>");
    EXPECT_EQ(jpmg_LoadPreferences(nullptr), 0);
}

TEST_F(HostPreferences, EnvironmentVariableNamesTheFile) {
    const std::string path = dir_.file("chosen.ini");
    writeFile(path, "[vantorel_movies]\nmoviespeed = 48\n");
    // A file at the default location must lose to the named one.
    writeFile(dir_.path() / "config/jhost/preferences.ini", "[vantorel_movies]\nmoviespeed = 1\n");
    ScopedEnv named(JPMG_PREFERENCES_ENV, path.c_str());
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_.path() / "config").c_str());
    EXPECT_EQ(jpmg_LoadDefaultPreferences(), 1);
    EXPECT_EQ(number(kCategory, "moviespeed"), 48.0);
}

TEST_F(HostPreferences, EnvironmentVariableNamingAnUnreadableFileFails) {
    jpmg_SetStringPreference(kCategory, "moviestring", "before");
    ScopedEnv named(JPMG_PREFERENCES_ENV, dir_.file("absent.ini").c_str());
    EXPECT_EQ(jpmg_LoadDefaultPreferences(), 0);
    EXPECT_EQ(text(kCategory, "moviestring"), "<default>");
}

TEST_F(HostPreferences, DefaultLocationUnderXdgConfigHomeThenHome) {
    ScopedEnv named(JPMG_PREFERENCES_ENV, nullptr);
    writeFile(dir_.path() / "xdg/jhost/preferences.ini", "[vantorel_movies]\nmoviespeed = 60\n");
    writeFile(dir_.path() / "home/.config/jhost/preferences.ini",
              "[vantorel_movies]\nmoviespeed = 50\n");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", (dir_.path() / "xdg").c_str());
        ScopedEnv home("HOME", (dir_.path() / "home").c_str());
        EXPECT_EQ(jpmg_LoadDefaultPreferences(), 1);
        EXPECT_EQ(number(kCategory, "moviespeed"), 60.0);
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", (dir_.path() / "home").c_str());
        EXPECT_EQ(jpmg_LoadDefaultPreferences(), 1);
        EXPECT_EQ(number(kCategory, "moviespeed"), 50.0);
    }
}

TEST_F(HostPreferences, NoFileAtTheDefaultLocationIsAnEmptyStoreNotAnError) {
    jpmg_SetStringPreference(kCategory, "moviestring", "before");
    ScopedEnv named(JPMG_PREFERENCES_ENV, nullptr);
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_.path() / "nothing here").c_str());
    EXPECT_EQ(jpmg_LoadDefaultPreferences(), 1);
    EXPECT_EQ(text(kCategory, "moviestring"), "<default>");
}

// Files that are no preference file: each is refused at once, with a reason
// that names it, and leaves the store empty. Before, a FIFO blocked the open,
// /dev/urandom was read for ever and /dev/zero filled the memory. An alarm
// ends the test program, rather than leave it hanging, if that comes back.
TEST_F(HostPreferences, FilesThatAreNoPreferenceFileAreRefusedAtOnce) {
    const std::string fifo = dir_.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = dir_.file("large.ini");
    writeFile(large, "[vantorel_movies]\nmoviespeed = 9\n" + std::string(1 << 20, '#'));
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {fifo, "is not a regular file"},
        {dir_.path().string(), "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {"/dev/urandom", "is not a regular file"},
        {large, "is larger than 1 MiB"},
        {dir_.file("absent.ini"), "No such file"},
        {dir_.file("absent.ini/below"), "cannot read"},
    };
    alarm(30);
    for (const Case& bad : cases) {
        jpmg_SetStringPreference(kCategory, "moviestring", "before");
        EXPECT_EQ(jpmg_LoadPreferences(bad.path.c_str()), 0) << bad.path;
        EXPECT_EQ(text(kCategory, "moviestring"), "<default>") << bad.path;
        const std::string reason = jpmg_PreferencesLoadError();
        EXPECT_NE(reason.find(bad.reason), std::string::npos) << bad.path << ": " << reason;
        EXPECT_NE(reason.find(bad.path), std::string::npos) << bad.path << ": " << reason;

        ScopedEnv named(JPMG_PREFERENCES_ENV, bad.path.c_str());
        EXPECT_EQ(jpmg_LoadDefaultPreferences(), 0) << bad.path;
        EXPECT_NE(std::string(jpmg_PreferencesLoadError()).find(bad.reason), std::string::npos)
            << bad.path;
    }
    // At the default location a missing file is no error, but a FIFO is.
    ScopedEnv named(JPMG_PREFERENCES_ENV, nullptr);
    std::filesystem::create_directories(dir_.path() / "xdg/jhost");
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_.path() / "xdg").c_str());
    EXPECT_EQ(jpmg_LoadDefaultPreferences(), 1);
    EXPECT_STREQ(jpmg_PreferencesLoadError(), "");
    ASSERT_EQ(mkfifo((dir_.path() / "xdg/jhost/preferences.ini").c_str(), 0600), 0);
    EXPECT_EQ(jpmg_LoadDefaultPreferences(), 0);
    EXPECT_NE(std::string(jpmg_PreferencesLoadError()).find("is not a regular file"),
              std::string::npos);
    alarm(0);
}

TEST_F(HostPreferences, AFileOfExactlyOneMebibyteIsRead) {
    const std::string settings = "[vantorel_movies]\nmoviespeed = 9\n";
    const std::string path = dir_.file("full.ini");
    writeFile(path, std::string((1 << 20) - settings.size() - 1, '#') + "\n" + settings);
    ASSERT_EQ(std::filesystem::file_size(path), 1u << 20);
    ASSERT_EQ(jpmg_LoadPreferences(path.c_str()), 1) << jpmg_PreferencesLoadError();
    EXPECT_STREQ(jpmg_PreferencesLoadError(), "");
    EXPECT_EQ(number(kCategory, "moviespeed"), 9.0);
}

// A host that never loads the store explicitly gets the user's file at the
// first lookup. The check runs in a fresh process (the store of this one has
// been used already).
TEST(HostPreferencesFirstUse, FirstLookupLoadsTheFileNamedByTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string path = dir.file("first.ini");
    writeFile(path, "[vantorel_movies]\nmoviespeed = 24\n");
    EXPECT_EXIT(
        {
            setenv(JPMG_PREFERENCES_ENV, path.c_str(), 1);
            const double speed = jpmg_GetNumberPreference(kCategory, "moviespeed", 15.0, nullptr);
            std::exit(speed == 24.0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
