#pragma once
// The serial component's window controls on Qt: the drop-down of one setting's choices
// (TComComboBox, with TComSelect's rules behind it) and the indicator lamp (TComLed).
#include "framework/Component.h"
#include "framework/qt/Controls.h"
#include "serial/ComPort.h"
#include "serial/controls/ComLed.h"
#include "serial/controls/ComSelect.h"

#include <QComboBox>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

// A drop-down list of one setting's choices bound to a port. While its stored settings are
// read (Loading), a selection is only marked; it is shown when the control is rebuilt
// (SetItemHeight) and when loading ends.
class TComComboBox : public TControlOf<QComboBox>, public TCustomComComboBox {
    Q_OBJECT
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    // Rebuilds the list's window with the new entry height: the marked entry is shown.
    void SetItemHeight(int height);

    // The port list is read again each time it drops down.
    void showPopup() override;

protected:
    int CurrentIndex() const override { return currentIndex(); }
    void SetCurrentIndex(int index) override { setCurrentIndex(index); }
    // Each port entry tells which adapter it is.
    void Refilled() override;
    // Draws the shown entry cut at its left: two adapters of a kind differ at their ends.
    void paintEvent(QPaintEvent* event) override;

private:
    class Items;
};

// One of the lamp glyphs built into the program (for example "LEDGREENON"): a 15 x 15 bitmap
// drawn with its bottom-left colour transparent. A null image for an unknown name.
QImage LoadLedGlyph(const char* name);
// `image` with every pixel of its bottom-left colour made transparent.
QImage MakeTransparent(const QImage& image);

// A windowless lamp that shows its on or off glyph. Unbound, its owner sets State; bound to a
// port, it follows one of the port's signals through a link and refuses outside changes.
class TComLed : public TControlOf<QWidget>, public TCustomComLed {
    Q_OBJECT
public:
    explicit TComLed(QWidget* parent = nullptr);
    ~TComLed() override;

    const QImage& GlyphOn() const { return glyphOn_; }
    void SetGlyphOn(const QImage& image);
    const QImage& GlyphOff() const { return glyphOff_; }
    void SetGlyphOff(const QImage& image);
    int RingDuration() const override { return ringTimer_.interval(); }
    void SetRingDuration(int milliseconds) { ringTimer_.setInterval(milliseconds); }

    // Where the glyph goes in the client area, and which one is drawn.
    QPoint CalcBitmapPos() const;
    const QImage& BitmapToDraw() const;

protected:
    void SelectLedBitmap() override;
    void RedrawLater() override { update(); }
    void RedrawNow() override;
    bool RingTimerActive() const override { return ringTimer_.isActive(); }
    void StartRingTimer() override { ringTimer_.start(); }
    void StopRingTimer() override { ringTimer_.stop(); }
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BitmapNeeded();

    QTimer ringTimer_;
    QImage glyphOn_;
    QImage glyphOff_;
};
