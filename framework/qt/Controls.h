#pragma once
// The few window controls that need more than a plain Qt widget to behave as the window
// expects: a label that sizes itself to its text, a tab strip that draws its page frame,
// and a progress bar that steps.
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>

#include <functional>
#include <string>

using TButton = QPushButton;
using TGroupBox = QGroupBox;

// A periodic tick. Its handler runs from the event loop, not inside the timer's own
// notification, so ticks go on while a handler waits in a modal box, as they do for any other
// handler; a tick that finds the previous one not yet started is dropped. Stopping the timer
// drops a tick already due, and starting it gives a full period before the first tick.
class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(QObject* parent = nullptr);

    bool Enabled() const { return timer_.isActive(); }
    // Enabling a running timer changes nothing; it does not restart the period.
    void SetEnabled(bool value);
    int Interval() const { return timer_.interval(); }
    void SetInterval(int milliseconds) { timer_.setInterval(milliseconds); }

    std::function<void()> OnTimer;

private:
    void Due();

    QTimer timer_;
    bool posted_ = false;
    unsigned generation_ = 0;
};

// A label whose text is a std::string (UTF-8). With AutoSize on, its width follows the text,
// the left edge and the height staying where the layout put them.
class TLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLabel(QWidget* parent = nullptr);

    std::string Caption() const;
    void SetCaption(const std::string& text);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    // Font colour, as red, green and blue.
    void SetFontColor(int red, int green, int blue);
    QColor FontColor() const;

private:
    void FitToText();
    bool autoSize_ = true;
};

// A tab strip covering the whole page area: the tabs along the top edge and a panel frame
// below them, over which the window lays its panels.
class TTabControl : public QTabBar {
    Q_OBJECT
public:
    explicit TTabControl(QWidget* parent = nullptr);
    // The selected tab, -1 when none.
    int TabIndex() const { return currentIndex(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

class TProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit TProgressBar(QWidget* parent = nullptr);
    int Position() const { return value(); }
    void SetPosition(int value);
    void SetMax(int value) { setMaximum(value); }
    int Step() const { return step_; }
    void SetStep(int value) { step_ = value; }
    // Moves forward by Step; past the maximum it starts again from the minimum.
    void StepIt();

private:
    int step_ = 10;
};

// A read-only multi-line text with a vertical scroll bar.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);
    void SetLines(const char* const* lines, int count);
    int LineCount() const;
    std::string Line(int index) const;
};
