#pragma once
// The application object on top of Qt: the title every box is captioned with, the standard
// exception box, the program's one kind of message box, and the main thread's hand-over queue
// (Sync) driven from Qt's event loop.
#include <exception>
#include <memory>
#include <string>
#include <utility>

class QApplication;

class TApplication {
public:
    // Creates the QApplication, installs the exception report and starts driving
    // Sync::CheckSynchronize from the event loop. One instance at a time.
    TApplication(int& argc, char** argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    const std::string& Title() const { return title_; }
    void SetTitle(std::string title) { title_ = std::move(title); }

    // Runs the message loop until the last window is closed.
    int Run();

    // The standard exception box: the message, an error icon, one OK button, captioned with
    // the title. While a box for a message is open, the same message is not shown again, so
    // an operation that fails on every tick cannot pile up boxes.
    void ShowException(const std::string& message);
    void HandleException(std::exception_ptr error);

    // How many exception boxes are open right now.
    int OpenExceptionBoxes() const { return openBoxes_; }

private:
    std::unique_ptr<QApplication> qt_;
    std::string title_;
    int openBoxes_ = 0;
};

// The running application object, or nullptr.
extern TApplication* Application;

// The program's message box: modal, centred on the screen, the application title as caption,
// no icon, the text and one OK button. Returns when the user has closed it; ticks and port
// events go on meanwhile.
void ShowMessage(const std::string& text);

// Runs an entry point the toolkit calls. Whatever escapes it is shown in the standard
// exception box and the program goes on: exceptions never cross Qt's frames.
void ReportException(std::exception_ptr error) noexcept;

template <class F> void Guard(F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (...) {
        ReportException(std::current_exception());
    }
}
