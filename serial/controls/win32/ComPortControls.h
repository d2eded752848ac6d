#pragma once
// The serial component's window controls as native Win32 controls: the drop-down of one
// setting's choices (TComComboBox, with TComSelect's rules behind it) and the indicator lamp
// (TComLed), owner-drawn from the glyph bitmaps built into the program.
#include "framework/Component.h"
#include "framework/win32/Controls.h"
#include "serial/ComPort.h"
#include "serial/controls/ComLed.h"
#include "serial/controls/ComSelect.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A drop-down list of one setting's choices bound to a port. While its stored settings are
// read (Loading), a selection is only marked; it is shown when the control is rebuilt
// (SetItemHeight) and when loading ends.
class TComComboBox : public TWinControl, public TCustomComComboBox {
public:
    explicit TComComboBox(TWinControl* parent);
    ~TComComboBox() override;

    // The selected entry, not the window's caption.
    using TCustomComComboBox::SetText;
    using TCustomComComboBox::Text;
    int Count() const;
    void SetItemHeight(int height);
    // The closed box is `height` high; the list drops down below it.
    void SetBounds(int left, int top, int width, int height) override;

    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

protected:
    int CurrentIndex() const override;
    void SetCurrentIndex(int index) override;

private:
    class Items;
    bool DeviceChanged(WPARAM event);
};

// A lamp glyph: a device-independent bitmap as stored in the program's resources (header,
// palette, pixels), drawn with its bottom-left colour transparent.
struct TLedGlyph {
    std::vector<uint8_t> Dib;
    bool Empty() const { return Dib.empty(); }
    int Width() const;
    int Height() const;
};
// The glyph resource `name` (for example "LEDGREENON"); empty for an unknown name.
TLedGlyph LoadLedGlyph(const char* name);

// A lamp that shows its on or off glyph. Unbound, its owner sets State; bound to a port, it
// follows one of the port's signals through a link and refuses outside changes.
class TComLed : public TWinControl, public TCustomComLed {
public:
    explicit TComLed(TWinControl* parent);
    ~TComLed() override;

    int RingDuration() const override { return ringTimer_->Interval(); }
    void SetRingDuration(int milliseconds) { ringTimer_->SetInterval(milliseconds); }

    // Where the glyph goes in the client area (screen pixels), and which one is drawn.
    POINT CalcBitmapPos() const;
    const TLedGlyph& BitmapToDraw() const;

    bool Notify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

protected:
    void SelectLedBitmap() override;
    void RedrawLater() override { InvalidateRect(handle_, nullptr, TRUE); }
    void RedrawNow() override { UpdateWindow(handle_); }
    bool RingTimerActive() const override { return ringTimer_->Enabled(); }
    void StartRingTimer() override { ringTimer_->SetEnabled(true); }
    void StopRingTimer() override { ringTimer_->SetEnabled(false); }

private:
    void Draw(HDC dc, const RECT& area) const;

    TTimer* ringTimer_;
    TLedGlyph glyphOn_;
    TLedGlyph glyphOff_;
};
