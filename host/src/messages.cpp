// Messages to the user: standard error, or a handler that a host installs.
#include <cstdio>
#include <mutex>

#include "host/toolkit.h"

namespace {

std::mutex handlerMutex;
jvis_MessageHandler installedHandler = nullptr;
void* installedContext = nullptr;

}  // namespace

extern "C" {

void jvis_SetMessageHandler(jvis_MessageHandler handler, void* context) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    installedHandler = handler;
    installedContext = context;
}

void jvis_ShowMessage(const char* text) {
    jvis_MessageHandler handler = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handler = installedHandler;
        context = installedContext;
    }
    const char* shown = text != nullptr ? text : "";
    if (handler != nullptr) {
        handler(shown, context);
        return;
    }
    std::fprintf(stderr, "%s\n", shown);
    std::fflush(stderr);
}

}  // extern "C"
