// The application object's Qt part: QApplication, its event loop driving the main thread's
// hand-overs, and the message boxes.
#include "framework/Application.h"

#include "framework/Sync.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <atomic>

struct TApplication::Toolkit {
    QApplication app;
    Toolkit(int& argc, char** argv) : app(argc, argv) {}
};

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

} // namespace

TApplication::TApplication(int& argc, char** argv)
    : toolkit_(std::make_unique<Toolkit>(argc, argv)) {
    QApplication* app = &toolkit_->app;
    toolkit::Attach(this, [app] { PostCheckSynchronize(app); });
}

TApplication::~TApplication() {
    toolkit::Detach();
    toolkit_.reset();
    syncPosted.store(false);
}

int TApplication::Run() {
    return toolkit_->app.exec();
}

void toolkit::ShowBox(const std::string& text, bool error) {
    CentredBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, text);
    box.exec();
}
