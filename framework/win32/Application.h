#pragma once
// The application object on Win32: the title every box is captioned with, the standard
// exception box, the program's one kind of message box, the message loop, and the main
// thread's hand-over queue (Sync) woken by a posted message. The same names as the Qt side.
#include <exception>
#include <string>
#include <utility>

class TApplication {
public:
    // Registers the window classes, installs the exception report and starts driving
    // Sync::CheckSynchronize from the message loop. One instance at a time.
    TApplication(int& argc, char** argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    const std::string& Title() const { return title_; }
    void SetTitle(std::string title) { title_ = std::move(title); }

    // Runs the message loop until the main window is closed.
    int Run();
    // Handles every message waiting now; returns false once the loop was asked to end.
    bool ProcessMessages();

    // The standard exception box: the message, an error icon, one OK button, captioned with
    // the title. While a box for a message is open, the same message is not shown again.
    void ShowException(const std::string& message);
    void HandleException(std::exception_ptr error);
    int OpenExceptionBoxes() const { return openBoxes_; }

private:
    std::string title_;
    int openBoxes_ = 0;
};

extern TApplication* Application;

// The program's message box: modal, centred on the screen, the application title as caption,
// no icon, the text and one OK button. Returns when the user has closed it; ticks and port
// events go on meanwhile.
void ShowMessage(const std::string& text);

void ReportException(std::exception_ptr error) noexcept;

template <class F> void Guard(F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (...) {
        ReportException(std::current_exception());
    }
}
