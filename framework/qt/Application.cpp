#include "framework/qt/Application.h"

#include "framework/Exception.h"
#include "framework/Sync.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <atomic>
#include <cstdio>
#include <set>

TApplication* Application = nullptr;

namespace {

// A message box that places itself in the middle of the screen, whatever window is active.
class CentredBox : public QMessageBox {
public:
    CentredBox(Icon icon, const std::string& text)
        : QMessageBox(icon, QString::fromStdString(Application ? Application->Title() : ""),
                      QString::fromStdString(text), QMessageBox::Ok) {}

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (QScreen* s = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
};

void ShowExceptionMessage(const std::string& message) {
    if (Application)
        Application->ShowException(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

// Set while a call of CheckSynchronize is posted and has not started yet, so a burst of
// hand-overs posts one call, not one per routine.
std::atomic<bool> syncPosted{false};

void PostCheckSynchronize(QApplication* app) {
    if (syncPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        app,
        [] {
            syncPosted.store(false);
            Guard([] { Sync::CheckSynchronize(); });
        },
        Qt::QueuedConnection);
}

// Messages of the exception boxes open now.
std::multiset<std::string> openMessages;

} // namespace

TApplication::TApplication(int& argc, char** argv)
    : qt_(std::make_unique<QApplication>(argc, argv)) {
    Application = this;
    SetExceptionHandler(ShowExceptionMessage);
    Sync::SetMainThread();
    QApplication* app = qt_.get();
    Sync::SetWakeMainThread([app] { PostCheckSynchronize(app); });
    // Whatever was queued before the loop existed still has to run.
    PostCheckSynchronize(app);
}

TApplication::~TApplication() {
    Sync::SetWakeMainThread(nullptr);
    SetExceptionHandler(nullptr);
    Application = nullptr;
    qt_.reset();
    syncPosted.store(false);
}

int TApplication::Run() {
    return qt_->exec();
}

void TApplication::ShowException(const std::string& message) {
    if (openMessages.count(message))
        return;
    auto it = openMessages.insert(message);
    ++openBoxes_;
    try {
        CentredBox box(QMessageBox::Critical, message);
        box.exec();
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
    CentredBox box(QMessageBox::NoIcon, text);
    box.exec();
}
