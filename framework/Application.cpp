#include "framework/Application.h"

#include "framework/Exception.h"
#include "framework/Sync.h"

#include <cstdio>
#include <set>

TApplication* Application = nullptr;

namespace {

void ShowExceptionMessage(const std::string& message) {
    if (Application)
        Application->ShowException(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

// Messages of the exception boxes open now.
std::multiset<std::string> openMessages;

} // namespace

void TApplication::ShowException(const std::string& message) {
    if (openMessages.count(message))
        return;
    auto it = openMessages.insert(message);
    ++openBoxes_;
    try {
        toolkit::ShowBox(message, true);
    } catch (...) {
        // A box that cannot be shown has nothing left to report to.
    }
    --openBoxes_;
    openMessages.erase(it);
}

void TApplication::HandleException(std::exception_ptr error) {
    ShowException(ExceptionMessage(error));
}

void ReportException(std::exception_ptr error) noexcept {
    ::HandleException(error);
}

void ShowMessage(const std::string& text) {
    toolkit::ShowBox(text, false);
}

void toolkit::Attach(TApplication* app, std::function<void()> wake) {
    Application = app;
    SetExceptionHandler(ShowExceptionMessage);
    Sync::SetMainThread();
    Sync::SetWakeMainThread(wake);
    wake();
}

void toolkit::Detach() {
    Sync::SetWakeMainThread(nullptr);
    SetExceptionHandler(nullptr);
    Application = nullptr;
}
