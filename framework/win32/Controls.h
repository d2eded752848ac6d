#pragma once
// The window's controls as native Win32 controls: the same names and operations as the Qt
// side (framework/qt/Controls.h). Positions and sizes are given in pixels at 96 dpi and scaled
// by the screen's dpi. Notifications a control sends to its parent (clicks, selection changes,
// owner drawing, colours) come back to the control's own object.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN // keeps out winspool.h, whose SetPort macro renames TComPort's
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// The program's hidden window: the timers tick on it, and UtilityWakeMessage posted to it runs
// the handler the application object gave (the main thread's wake-up).
constexpr UINT UtilityWakeMessage = WM_APP + 1;
HWND UtilityWindow();
void SetUtilityWake(void (*onWake)());

// Something a control owns and destroys with itself: its child controls and its timers.
class TOwned {
public:
    virtual ~TOwned() = default;
};

// A native window with an object behind it. A control is owned by its parent, which destroys
// it with itself.
class TWinControl : public TOwned {
public:
    ~TWinControl() override;
    TWinControl(const TWinControl&) = delete;
    TWinControl& operator=(const TWinControl&) = delete;

    HWND Handle() const { return handle_; }
    TWinControl* Parent() const { return parent_; }
    // Screen pixels per inch the layout is scaled to.
    int Dpi() const { return dpi_; }
    int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }

    virtual void SetBounds(int left, int top, int width, int height);
    bool Visible() const;
    void SetVisible(bool value);
    bool Enabled() const;
    void SetEnabled(bool value);
    void Repaint();
    // Under every sibling (the tab strip lies under the panels).
    void SendToBack();
    // The text of the window (caption, label text), as UTF-8.
    std::string Text() const;
    void SetText(const std::string& text);
    HFONT Font() const { return font_; }

    // The control's object, or nullptr for a window that is not ours.
    static TWinControl* FromHandle(HWND handle);

    // A notification from this control, as its parent got it (WM_COMMAND, WM_NOTIFY,
    // WM_DRAWITEM, WM_CTLCOLOR...), or WM_DEVICECHANGE, which only top-level windows get and
    // pass to every control they hold. Returns true with `result` set when handled.
    virtual bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

protected:
    // Creates the native control of `windowClass` as a child of `parent` (or a top-level
    // window when `parent` is nullptr), with the parent's font.
    TWinControl(TWinControl* parent, const wchar_t* windowClass, DWORD style, DWORD exStyle = 0);
    // Messages of the control itself; the default passes them to the class's procedure.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    void SetFont(HFONT font, bool owned);
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM);

    HWND handle_ = nullptr;

private:
    // Every control below this one, depth first, gets the message through Notify.
    void NotifyAll(UINT message, WPARAM wParam, LPARAM lParam);

    friend class TTimer;
    TWinControl* parent_;
    std::vector<std::unique_ptr<TOwned>> owned_;
    WNDPROC classProc_ = nullptr;
    HFONT font_ = nullptr;
    bool ownsFont_ = false;
    int dpi_ = 96;
};

using TParentControl = TWinControl;

// The window itself: fixed client size, minimise but no maximise, centred when first shown,
// "MS Sans Serif" 8 point (the system's dialog font where that one is missing).
class TForm : public TWinControl {
public:
    TForm();
    ~TForm() override;

    std::string Caption() const { return Text(); }
    void SetCaption(const std::string& text) { SetText(text); }
    void SetClientSize(int width, int height);
    // The keyboard's focus moves through these in this order (Tab, Shift+Tab).
    void SetTabOrder(std::initializer_list<TWinControl*> chain);
    // Centres the window on the screen and shows it.
    void Show();
    void Close();
    // Moves the focus for a Tab key pressed in this window; false when it is not one.
    bool HandleTabKey(const MSG& message);

    // The window is about to close.
    std::function<void()> OnClose;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    std::vector<TWinControl*> tabOrder_;
    bool shown_ = false;
};

// A frame without title that holds one panel's controls.
class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TWinControl* parent);

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
};

class TButton : public TWinControl {
public:
    explicit TButton(TWinControl* parent);
    std::string Caption() const { return Text(); }
    void SetCaption(const std::string& text) { SetText(text); }
    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    std::function<void()> OnClick;
};

// A periodic tick, run from the message loop (also a modal box's): Windows never queues more
// than one tick of a timer, so a tick that finds the previous one not yet started is dropped.
// Stopping drops a tick already due; starting gives a full period before the first tick.
class TTimer : public TOwned {
public:
    // Owned by `owner` when one is given.
    explicit TTimer(TWinControl* owner = nullptr);
    ~TTimer() override;
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    // Enabling a running timer changes nothing; it does not restart the period.
    void SetEnabled(bool value);
    int Interval() const { return interval_; }
    void SetInterval(int milliseconds);

    std::function<void()> OnTimer;

    // The utility window's WM_TIMER: runs the timer `id`, if it still runs.
    static void Tick(UINT_PTR id);

private:
    bool enabled_ = false;
    int interval_ = 1000;
    UINT_PTR id_ = 0;
};

// A static text. With AutoSize on, its width follows the text, the left edge and the height
// staying where the layout put them.
class TLabel : public TWinControl {
public:
    explicit TLabel(TWinControl* parent);
    std::string Caption() const { return Text(); }
    void SetCaption(const std::string& text);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    void SetFontColor(int red, int green, int blue);
    COLORREF FontColor() const { return color_; }
    // Point size (0 keeps the window's) and weight.
    void SetFontStyle(int pointSize, bool bold);
    void SetCentred();
    // The extent of `text` in the label's font, in screen pixels.
    SIZE TextExtent(const std::string& text) const;
    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    ~TLabel() override;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void FitToText();
    // The text in runs: characters a bitmap face smears in bold in `regular_`, the rest in
    // the label's font. Measures only when `draw` is false.
    SIZE DrawRuns(HDC dc, const std::wstring& text, bool draw) const;
    bool autoSize_ = true;
    COLORREF color_ = GetSysColor(COLOR_WINDOWTEXT);
    // The label's face at regular weight, while it is bold in a bitmap face; else null.
    HFONT regular_ = nullptr;
};

class TTabControl : public TWinControl {
public:
    explicit TTabControl(TWinControl* parent);
    void AddTab(const std::string& caption);
    int Count() const;
    // The selected tab, -1 when none.
    int TabIndex() const;
    void SetTabIndex(int index);
    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    // The selected tab has changed.
    std::function<void()> OnChange;

private:
    // Captions padded as wide as the strip allows, so the tabs fill it evenly.
    void FitTabs();
};

class TProgressBar : public TWinControl {
public:
    explicit TProgressBar(TWinControl* parent);
    int Position() const { return position_; }
    void SetPosition(int value);
    int Max() const { return max_; }
    void SetMax(int value);
    int Step() const { return step_; }
    void SetStep(int value) { step_ = value; }
    // Moves forward by Step; past the maximum it starts again from the minimum.
    void StepIt();

private:
    int position_ = 0;
    int max_ = 100;
    int step_ = 10;
};

// A read-only multi-line text with a vertical scroll bar. A line wider than the box goes on
// in the next row.
class TMemo : public TWinControl {
public:
    explicit TMemo(TWinControl* parent);
    void SetLines(const char* const* lines, int count);
    // The text's own lines, however they are wrapped on the screen.
    std::vector<std::string> Lines() const;
    int LineCount() const;
    std::string Line(int index) const;
    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
};
