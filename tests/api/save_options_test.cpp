// AVISaveOptions, the compression dialog's stand-in: the hook, the
// VFW_COMPRESSOR variable, the default without a terminal, the menu on a
// terminal, and AVISaveOptionsFree.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "api_fixture.h"

namespace {

using apitest::ScopedEnvironment;
using apitest::StdinFromNull;

class SaveOptions : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        recording_ = open(dir_.file("options.avi"), 4, 2, ~DWORD{0});
        std::memset(&options_, 0, sizeof options_);
    }
    void TearDown() override {
        close(recording_);
        ApiTest::TearDown();
    }
    BOOL ask() {
        AVICOMPRESSOPTIONS* list[] = {&options_};
        return AVISaveOptions(nullptr, 0, 1, &recording_.raw, list);
    }

    Recording recording_;
    AVICOMPRESSOPTIONS options_;
    StdinFromNull noTerminal_;
};

void expectFullFramesDefaults(const AVICOMPRESSOPTIONS& options) {
    EXPECT_EQ(options.fccType, streamtypeVIDEO);
    EXPECT_EQ(options.fccHandler, comptypeDIB);
    EXPECT_EQ(options.dwFlags, static_cast<DWORD>(AVICOMPRESSF_VALID));
    EXPECT_EQ(options.dwQuality, ICQUALITY_DEFAULT);
    EXPECT_EQ(options.dwKeyFrameEvery, 0u);
    EXPECT_EQ(options.dwBytesPerSecond, 0u);
    EXPECT_EQ(options.lpFormat, nullptr);
    EXPECT_EQ(options.lpParms, nullptr);
}

TEST_F(SaveOptions, WithoutTerminalOrVariableTheDefaultIsFullFrames) {
    ScopedEnvironment unset("VFW_COMPRESSOR", std::nullopt);
    EXPECT_EQ(ask(), TRUE);
    expectFullFramesDefaults(options_);
    ScopedEnvironment empty("VFW_COMPRESSOR", "");
    std::memset(&options_, 0, sizeof options_);
    EXPECT_EQ(ask(), TRUE);
    expectFullFramesDefaults(options_);
}

TEST_F(SaveOptions, TheVariableNamesTheCompressorAndItsSettings) {
    {
        ScopedEnvironment chosen("VFW_COMPRESSOR", "full,quality=8000");
        ASSERT_EQ(ask(), TRUE);
        EXPECT_EQ(options_.fccHandler, comptypeDIB);
        EXPECT_EQ(options_.dwQuality, 8000u);
        EXPECT_EQ(options_.dwFlags, static_cast<DWORD>(AVICOMPRESSF_VALID));
    }
    {
        ScopedEnvironment chosen("VFW_COMPRESSOR", "DIB ,keyframes=10");
        ASSERT_EQ(ask(), TRUE);
        EXPECT_EQ(options_.dwKeyFrameEvery, 10u);
        EXPECT_EQ(options_.dwQuality, ICQUALITY_DEFAULT);
        EXPECT_EQ(options_.dwFlags, static_cast<DWORD>(AVICOMPRESSF_VALID | AVICOMPRESSF_KEYFRAMES));
    }
    {
        ScopedEnvironment chosen("VFW_COMPRESSOR", "dib,datarate=123456");
        ASSERT_EQ(ask(), TRUE);
        EXPECT_EQ(options_.dwBytesPerSecond, 123456u);
        EXPECT_EQ(options_.dwFlags, static_cast<DWORD>(AVICOMPRESSF_VALID | AVICOMPRESSF_DATARATE));
    }
    // Every compressor on offer can be named by its code and its short name.
    for (const avifile::CompressorDescription& offered : avifile::availableCompressors()) {
        std::string code(4, ' ');
        std::memcpy(code.data(), &offered.fourcc, 4);
        for (const std::string& name : {code, offered.shortName}) {
            ScopedEnvironment chosen("VFW_COMPRESSOR", name);
            options_ = {};
            ASSERT_EQ(ask(), TRUE) << name;
            EXPECT_EQ(options_.fccHandler, offered.fourcc) << name;
            EXPECT_EQ(options_.fccType, streamtypeVIDEO) << name;
        }
    }
}

TEST_F(SaveOptions, CancelReturnsFalseAndLeavesTheOptions) {
    ScopedEnvironment cancel("VFW_COMPRESSOR", "cancel");
    options_.fccHandler = 0x55;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ask(), FALSE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "cancelling is no error";
    EXPECT_EQ(options_.fccHandler, 0x55u);
}

TEST_F(SaveOptions, AnUnknownCompressorIsExplainedOnStandardError) {
    for (const char* value : {"NOPE", "full,quality=20000", "full,colour=3"}) {
        ScopedEnvironment unknown("VFW_COMPRESSOR", value);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ask(), FALSE) << value;
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find(std::string("VFW_COMPRESSOR=") + value), std::string::npos) << message;
        EXPECT_NE(message.find("Compressors on offer"), std::string::npos) << message;
        for (const avifile::CompressorDescription& offered : avifile::availableCompressors()) {
            EXPECT_NE(message.find(offered.shortName), std::string::npos)
                << offered.shortName << " missing from: " << message;
        }
    }
    EXPECT_EQ(options_.fccHandler, 0u);
}

// The dialog takes key-frame intervals and data rates only within what
// every codec accepts: at the edges of the ranges each compressor on offer
// opens and compresses frames; one step beyond, the dialog refuses, names
// the range and leaves the reason for the host.
TEST_F(SaveOptions, SettingsAtTheEdgesOfTheirRangesWorkWithEveryCodec) {
    const std::vector<uint8_t> format = apitest::dibFormatBlock(apitest::dibHeader(32, 32));
    const std::vector<uint8_t> frame = apitest::dibFrame(32, 32, 5);
    for (const avifile::CompressorDescription& offered : avifile::availableCompressors()) {
        for (const char* settings : {",keyframes=2147483647,datarate=268435455",
                                     ",keyframes=1,datarate=125", ",keyframes=0"}) {
            const std::string choice = offered.shortName + settings;
            ScopedEnvironment chosen("VFW_COMPRESSOR", choice);
            options_ = {};
            ASSERT_EQ(ask(), TRUE) << choice;
            Recording recording = open(dir_.file("edge.avi"), 32, 32, ~DWORD{0});
            ASSERT_EQ(AVIMakeCompressedStream(&recording.compressed, recording.raw, &options_,
                                              nullptr),
                      AVIERR_OK)
                << choice << ": " << avifile::lastFailureReason();
            EXPECT_EQ(AVIStreamSetFormat(recording.compressed, 0,
                                         const_cast<uint8_t*>(format.data()),
                                         static_cast<LONG>(format.size())),
                      AVIERR_OK)
                << choice << ": " << avifile::lastFailureReason();
            for (LONG position = 0; position < 3; ++position) {
                EXPECT_EQ(AVIStreamWrite(recording.compressed, position, 1,
                                         const_cast<uint8_t*>(frame.data()),
                                         static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr,
                                         nullptr),
                          AVIERR_OK)
                    << choice << " frame " << position << ": " << avifile::lastFailureReason();
            }
            close(recording);
        }
    }
    const std::pair<const char*, const char*> beyond[] = {
        {"h264,keyframes=2147483648", "keyframes must be a whole number of frames from 0"},
        {"h264,keyframes=4294967295", "to 2147483647, not '4294967295'"},
        {"mjpeg,datarate=124", "datarate must be a whole number of bytes per second from 125 to "
                               "268435455, not '124'"},
        {"mjpeg,datarate=268435456", "from 125 to 268435455, not '268435456'"},
        {"mpeg4,datarate=4294967295", "from 125 to 268435455"},
    };
    for (const auto& [choice, expected] : beyond) {
        ScopedEnvironment chosen("VFW_COMPRESSOR", choice);
        options_ = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(ask(), FALSE) << choice;
        EXPECT_NE(testing::internal::GetCapturedStderr().find(expected), std::string::npos)
            << choice;
        const std::string reason = avifile::lastFailureReason();
        EXPECT_NE(reason.find(std::string("VFW_COMPRESSOR=") + choice), std::string::npos) << reason;
        EXPECT_NE(reason.find(expected), std::string::npos) << reason;
        EXPECT_EQ(options_.fccHandler, 0u) << choice;
    }
}

TEST_F(SaveOptions, ACancelLeavesItsReasonAndAnAnswerClearsAnOldOne) {
    {
        ScopedEnvironment cancel("VFW_COMPRESSOR", "cancel");
        EXPECT_EQ(ask(), FALSE);
        EXPECT_NE(avifile::lastFailureReason().find("Cancel"), std::string::npos);
    }
    ScopedEnvironment chosen("VFW_COMPRESSOR", "full");
    EXPECT_EQ(ask(), TRUE);
    EXPECT_EQ(avifile::lastFailureReason(), "");
    avifile::setSaveOptionsHook([](AVICOMPRESSOPTIONS&) { return false; });
    EXPECT_EQ(ask(), FALSE);
    EXPECT_NE(avifile::lastFailureReason().find("cancelled"), std::string::npos);
}

TEST_F(SaveOptions, TheHookAnswersBeforeAnythingElse) {
    ScopedEnvironment cancel("VFW_COMPRESSOR", "cancel");
    int calls = 0;
    avifile::setSaveOptionsHook([&](AVICOMPRESSOPTIONS& options) {
        ++calls;
        EXPECT_EQ(options.fccHandler, comptypeDIB) << "the hook starts from the defaults";
        options.fccHandler = mmioFOURCC('T', 'E', 'S', 'T');
        options.dwQuality = 1234;
        return true;
    });
    EXPECT_EQ(ask(), TRUE);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(options_.fccHandler, mmioFOURCC('T', 'E', 'S', 'T'));
    EXPECT_EQ(options_.dwQuality, 1234u);

    // Options already marked valid are what the hook starts from.
    avifile::setSaveOptionsHook([&](AVICOMPRESSOPTIONS& options) {
        EXPECT_EQ(options.dwQuality, 1234u);
        return true;
    });
    EXPECT_EQ(ask(), TRUE);

    avifile::setSaveOptionsHook([&](AVICOMPRESSOPTIONS& options) {
        options.fccHandler = 0x99;
        options.lpParms = avifile::allocateOptionsBlock(16);
        return false;
    });
    EXPECT_EQ(ask(), FALSE);
    EXPECT_EQ(options_.fccHandler, mmioFOURCC('T', 'E', 'S', 'T')) << "cancel changes nothing";
    EXPECT_EQ(options_.lpParms, nullptr);

    avifile::setSaveOptionsHook({});
    EXPECT_EQ(ask(), FALSE) << "without the hook the variable answers again";
}

TEST_F(SaveOptions, FreeReleasesTheLayersBlocksAndClearsTheFields) {
    avifile::setSaveOptionsHook([](AVICOMPRESSOPTIONS& options) {
        options.lpFormat = avifile::allocateOptionsBlock(40);
        options.cbFormat = 40;
        options.lpParms = avifile::allocateOptionsBlock(8);
        options.cbParms = 8;
        return true;
    });
    ASSERT_EQ(ask(), TRUE);
    ASSERT_NE(options_.lpFormat, nullptr);
    AVICOMPRESSOPTIONS* list[] = {&options_};
    EXPECT_EQ(AVISaveOptionsFree(1, list), AVIERR_OK);  // the sanitizer build sees a leak otherwise
    EXPECT_EQ(options_.lpFormat, nullptr);
    EXPECT_EQ(options_.cbFormat, 0u);
    EXPECT_EQ(options_.lpParms, nullptr);
    EXPECT_EQ(options_.cbParms, 0u);
    EXPECT_EQ(options_.fccHandler, comptypeDIB) << "the choice itself stays";

    // A block of the caller's own is not the layer's to free.
    char callersBlock[16] = {};
    options_.lpParms = callersBlock;
    options_.cbParms = sizeof callersBlock;
    EXPECT_EQ(AVISaveOptionsFree(1, list), AVIERR_OK);
    EXPECT_EQ(options_.lpParms, nullptr);
    AVICOMPRESSOPTIONS* none[] = {nullptr};
    EXPECT_EQ(AVISaveOptionsFree(1, none), AVIERR_OK);
    EXPECT_EQ(AVISaveOptionsFree(0, nullptr), AVIERR_OK);
}

TEST_F(SaveOptions, SeveralStreamsGetTheSameChoice) {
    AVISTREAMINFOA info = apitest::videoInfo(4, 2);
    PAVISTREAM second = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(recording_.file, &second, &info), AVIERR_OK);
    ScopedEnvironment chosen("VFW_COMPRESSOR", "full,quality=5000");
    AVICOMPRESSOPTIONS others{};
    AVICOMPRESSOPTIONS* list[] = {&options_, &others};
    PAVISTREAM streams[] = {recording_.raw, second};
    EXPECT_EQ(AVISaveOptions(nullptr, 0, 2, streams, list), TRUE);
    EXPECT_EQ(options_.dwQuality, 5000u);
    EXPECT_EQ(others.dwQuality, 5000u);
    AVIStreamRelease(second);
}

// The menu as a person at a terminal sees it: the stand-in runs in a child
// whose standard input and error are a pseudo-terminal, and the answer is
// typed into it.
std::string runMenuOnTerminal(const std::string& typed, int& result, DWORD& handler) {
    int terminal = -1;
    int answer[2];
    if (pipe(answer) != 0) {
        return "no pipe";
    }
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) {
        return "no pseudo-terminal";
    }
    if (child == 0) {
        close(answer[0]);
        unsetenv("VFW_COMPRESSOR");
        PAVIFILE file = nullptr;
        PAVISTREAM raw = nullptr;
        AVISTREAMINFOA info = apitest::videoInfo(4, 2);
        const std::string path = "/dev/null";
        AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr);
        AVIFileCreateStreamA(file, &raw, &info);
        AVICOMPRESSOPTIONS options{};
        AVICOMPRESSOPTIONS* list[] = {&options};
        const BOOL chosen = AVISaveOptions(nullptr, 0, 1, &raw, list);
        const DWORD reply[2] = {static_cast<DWORD>(chosen), options.fccHandler};
        if (write(answer[1], reply, sizeof reply) != sizeof reply) {
            _exit(2);
        }
        _exit(0);
    }
    close(answer[1]);
    std::string shown;
    char chunk[4096];
    // Wait for the prompt, then type.
    while (shown.find("cancel]: ") == std::string::npos) {
        const ssize_t got = read(terminal, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        shown.append(chunk, static_cast<size_t>(got));
    }
    if (write(terminal, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
        shown += "[typing failed]";
    }
    DWORD reply[2] = {0, 0};
    if (read(answer[0], reply, sizeof reply) == sizeof reply) {
        result = static_cast<int>(reply[0]);
        handler = reply[1];
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(terminal);
    close(answer[0]);
    return shown;
}

TEST(SaveOptionsMenu, OnATerminalTheMenuAsks) {
    const std::vector<avifile::CompressorDescription> offered = avifile::availableCompressors();
    ASSERT_FALSE(offered.empty());
    int result = -1;
    DWORD handler = 0;
    const std::string shown = runMenuOnTerminal("\n", result, handler);
    EXPECT_EQ(result, TRUE) << shown;
    EXPECT_EQ(handler, comptypeDIB);
    EXPECT_NE(shown.find("(default)"), std::string::npos) << shown;
    for (const avifile::CompressorDescription& compressor : offered) {
        EXPECT_NE(shown.find(compressor.description), std::string::npos) << shown;
    }
    if (offered.size() > 1) {
        runMenuOnTerminal("2\n", result, handler);
        EXPECT_EQ(result, TRUE);
        EXPECT_EQ(handler, offered[1].fourcc);
    }
    runMenuOnTerminal("q\n", result, handler);
    EXPECT_EQ(result, FALSE);
}

}  // namespace
