#pragma once
// Helpers for tests that run a real Qt event loop: one application object for the whole test
// program, waiting on a condition while events run, and closing modal boxes from a timer the
// way a user would, recording what they showed.
#include "framework/Application.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct SeenBox {
    std::string Title;
    std::string Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    int Buttons = 0;
    bool Modal = false;
    QRect Frame;
    QRect Screen;
};

// Runs events until `done` holds or `timeout` passes. Returns `done()`.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Watches for modal message boxes and closes each with its OK button once `closeWhen`
// allows it (by default at once), after recording it. Runs on a timer, so the code that opens
// a box runs unchanged.
class BoxCloser {
public:
    explicit BoxCloser(std::function<bool(const SeenBox&)> closeWhen = nullptr);
    ~BoxCloser();

    const std::vector<SeenBox>& Seen() const { return seen_; }
    std::vector<std::string> Texts() const;
    // Boxes open right now (seen, not yet closed).
    int Open() const;

private:
    void Poll();

    std::function<bool(const SeenBox&)> closeWhen_;
    std::vector<SeenBox> seen_;
    struct OpenBox {
        QMessageBox* Box;
        size_t Seen;
    };
    std::vector<OpenBox> open_;
    QTimer timer_;
};
