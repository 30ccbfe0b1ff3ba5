// Messages to the user: standard error, or the handler a host installs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/toolkit.h"

namespace {

struct Received {
    std::vector<std::string> texts;
};

void collect(const char* text, void* context) {
    static_cast<Received*>(context)->texts.emplace_back(text);
}

class HostMessages : public ::testing::Test {
protected:
    void TearDown() override { jvis_SetMessageHandler(nullptr, nullptr); }
};

TEST_F(HostMessages, WithoutHandlerTheTextGoesToStandardErrorOnItsOwnLine) {
    ::testing::internal::CaptureStderr();
    jvis_ShowMessage("Unable to use specified compressor.");
    jvis_ShowMessage("second");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Unable to use specified compressor.\nsecond\n");
}

TEST_F(HostMessages, HandlerReceivesEveryTextWithItsContextInsteadOfStandardError) {
    Received received;
    jvis_SetMessageHandler(collect, &received);
    ::testing::internal::CaptureStderr();
    jvis_ShowMessage("first");
    jvis_ShowMessage("");
    jvis_ShowMessage(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(received.texts, (std::vector<std::string>{"first", "", ""}));
}

TEST_F(HostMessages, NullHandlerRestoresStandardError) {
    Received received;
    jvis_SetMessageHandler(collect, &received);
    jvis_SetMessageHandler(nullptr, nullptr);
    ::testing::internal::CaptureStderr();
    jvis_ShowMessage("back on stderr");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "back on stderr\n");
    EXPECT_TRUE(received.texts.empty());
}

TEST_F(HostMessages, LaterHandlerReplacesTheEarlierOne) {
    Received first;
    Received second;
    jvis_SetMessageHandler(collect, &first);
    jvis_SetMessageHandler(collect, &second);
    jvis_ShowMessage("to the second");
    EXPECT_TRUE(first.texts.empty());
    EXPECT_EQ(second.texts, (std::vector<std::string>{"to the second"}));
}

}  // namespace
