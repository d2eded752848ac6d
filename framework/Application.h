#pragma once
// The application object: the title every box is captioned with, the standard exception box,
// the program's one kind of message box, the message loop, and the main thread's hand-over
// queue (Sync) driven from that loop. One declaration; the toolkit's part is Qt's
// (framework/qt) or Win32's (framework/win32).
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

class TApplication {
public:
    // Starts the toolkit, installs the exception report and starts driving
    // Sync::CheckSynchronize from the message loop. One instance at a time.
    TApplication(int& argc, char** argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    const std::string& Title() const { return title_; }
    void SetTitle(std::string title) { title_ = std::move(title); }

    // Runs the message loop until the main window is closed.
    int Run();

    // The standard exception box: the message, an error icon, one OK button, captioned with
    // the title. While a box for a message is open, the same message is not shown again, so
    // an operation that fails on every tick cannot pile up boxes.
    void ShowException(const std::string& message);
    void HandleException(std::exception_ptr error);

    // How many exception boxes are open right now.
    int OpenExceptionBoxes() const { return openBoxes_; }

private:
    struct Toolkit; // what the toolkit keeps for the application's lifetime
    std::unique_ptr<Toolkit> toolkit_;
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
// exception box and the program goes on: exceptions never cross the toolkit's frames.
void ReportException(std::exception_ptr error) noexcept;

template <class F> void Guard(F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (...) {
        ReportException(std::current_exception());
    }
}

// Between the application object and its toolkit.
namespace toolkit {
// The toolkit's: a modal box centred on the screen, captioned with the title, with an error
// icon or none.
void ShowBox(const std::string& text, bool error);
// For the toolkit's constructor: `app` becomes the running application, its box the exception
// report, this thread the main one, and `wake` how hand-overs reach the loop (called once
// now, for whatever was queued before the loop existed). Detach undoes it.
void Attach(TApplication* app, std::function<void()> wake);
void Detach();
} // namespace toolkit
