#pragma once
// The window's controls on Qt. Each is the Qt widget plus the few operations the window uses,
// named the same on every toolkit (framework/win32/Controls.h has the Win32 side): placing,
// showing, enabling, captions and fonts, the tab strip's index, the progress bar, the tick.
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>

#include <functional>
#include <initializer_list>
#include <string>

// What a control sits on.
using TParentControl = QWidget;

// The operations every control shares, on top of the Qt widget W.
template <class W> class TControlOf : public W {
public:
    using W::W;
    void SetBounds(int left, int top, int width, int height) {
        W::setGeometry(left, top, width, height);
    }
    bool Visible() const { return W::isVisible(); }
    void SetVisible(bool value) { W::setVisible(value); }
    bool Enabled() const { return W::isEnabled(); }
    void SetEnabled(bool value) { W::setEnabled(value); }
    // Paints now, not when the event loop comes to it.
    void Repaint() { W::repaint(); }
    // Under every sibling (the tab strip lies under the panels).
    void SendToBack() { W::lower(); }
};

// The window itself: fixed client size, minimise but no maximise, centred when first shown.
class TForm : public TControlOf<QWidget> {
public:
    explicit TForm(QWidget* parent = nullptr);

    std::string Caption() const;
    void SetCaption(const std::string& text);
    void Show() { show(); }
    // Fixes the client area's size: the user cannot resize the window.
    void SetClientSize(int width, int height);
    // The keyboard's focus moves through these in this order.
    static void SetTabOrder(std::initializer_list<QWidget*> chain);

    // The window is about to close.
    std::function<void()> OnClose;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool centred_ = false;
};

// A frame without title that holds one panel's controls.
class TGroupBox : public TControlOf<QGroupBox> {
public:
    explicit TGroupBox(QWidget* parent) : TControlOf<QGroupBox>(parent) {}
};

class TButton : public TControlOf<QPushButton> {
public:
    explicit TButton(QWidget* parent);
    std::string Caption() const;
    void SetCaption(const std::string& text);

    std::function<void()> OnClick;
};

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
class TLabel : public TControlOf<QLabel> {
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
    // Point size (0 keeps the window's) and weight.
    void SetFontStyle(int pointSize, bool bold);
    // The text centred in the label's width instead of starting at its left.
    void SetCentred();

private:
    void FitToText();
    bool autoSize_ = true;
};

// A tab strip covering the whole page area: the tabs along the top edge and a panel frame
// below them, over which the window lays its panels.
class TTabControl : public TControlOf<QTabBar> {
    Q_OBJECT
public:
    explicit TTabControl(QWidget* parent = nullptr);
    void AddTab(const std::string& caption);
    // The selected tab, -1 when none.
    int TabIndex() const { return currentIndex(); }
    void SetTabIndex(int index) { setCurrentIndex(index); }

    // The selected tab has changed.
    std::function<void()> OnChange;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class TProgressBar : public TControlOf<QProgressBar> {
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
class TMemo : public TControlOf<QPlainTextEdit> {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);
    void SetLines(const char* const* lines, int count);
    int LineCount() const;
    std::string Line(int index) const;
};
