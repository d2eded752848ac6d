#include "tests/support/QtTestSupport.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>
#include <QScreen>
#include <QThread>

#include <algorithm>

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

BoxCloser::BoxCloser(std::function<bool(const SeenBox&)> closeWhen)
    : closeWhen_(std::move(closeWhen)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
}

BoxCloser::~BoxCloser() {
    timer_.stop();
}

std::vector<std::string> BoxCloser::Texts() const {
    std::vector<std::string> texts;
    for (const SeenBox& box : seen_)
        texts.push_back(box.Text);
    return texts;
}

int BoxCloser::Open() const {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w) && w->isVisible())
            ++n;
    return n;
}

void BoxCloser::Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    auto it = std::find_if(open_.begin(), open_.end(),
                           [box](const OpenBox& open) { return open.Box == box; });
    if (it == open_.end()) {
        SeenBox seen;
        seen.Title = box->windowTitle().toStdString();
        seen.Text = box->text().toStdString();
        seen.Icon = box->icon();
        seen.Buttons = static_cast<int>(box->buttons().size());
        seen.Modal = box->isModal();
        seen.Frame = box->frameGeometry();
        if (QScreen* s = box->screen())
            seen.Screen = s->availableGeometry();
        seen_.push_back(seen);
        open_.push_back({box, seen_.size() - 1});
        it = open_.end() - 1;
    }
    if (closeWhen_ && !closeWhen_(seen_[it->Seen]))
        return;
    open_.erase(it);
    if (QAbstractButton* ok = box->button(QMessageBox::Ok))
        ok->click();
}
