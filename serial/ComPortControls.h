#pragma once
// Window controls for the serial port component: a drop-down that picks one of the port's
// settings (TComComboBox, with the list-independent TComSelect behind it), the converters
// between settings and their texts, and a small indicator lamp (TComLed).
#include "framework/Component.h"
#include "serial/ComPort.h"

#include <QComboBox>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

// ---- Settings as text -------------------------------------------------------------------

std::string BaudRateToStr(TBaudRate value);
std::string DataBitsToStr(TDataBits value);
std::string StopBitsToStr(TStopBits value);
std::string ParityToStr(TParityBits value);
std::string FlowControlToStr(TFlowControl value);
// The value of the first text equal to `text` (ASCII case ignored); unknown texts give
// 9600, 8, 1, None and Custom.
TBaudRate StrToBaudRate(const std::string& text);
TDataBits StrToDataBits(const std::string& text);
TStopBits StrToStopBits(const std::string& text);
TParityBits StrToParity(const std::string& text);
TFlowControl StrToFlowControl(const std::string& text);

// ---- Setting selector -------------------------------------------------------------------

// Where the selector looks for ports: the system's folders unless a test points it at a tree
// of its own (the tty class folder and the device folder).
void SetPortListFolders(std::string ttyClassDir, std::string devDir);
void ResetPortListFolders();

enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The entries of a list control, as the selector sees them.
class TStrings {
public:
    virtual ~TStrings() = default;
    virtual void Clear() = 0;
    virtual void Add(const std::string& text) = 0;
    virtual int Count() const = 0;
    virtual std::string Strings(int index) const = 0;
    // Position of the first entry equal to `text` with ASCII case ignored, or -1.
    int IndexOfText(const std::string& text) const;
};

class TComSelect {
public:
    explicit TComSelect(TStrings& items) : items_(items) {}

    TCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort* port) { comPort_ = port; }
    TComProperty ComProperty() const { return comProperty_; }
    // Stores the setting and refills the list with its choices.
    void SetComProperty(TComProperty value);
    bool AutoApply() const { return autoApply_; }
    void SetAutoApply(bool value) { autoApply_ = value; }

    void SelectPort();
    void SelectBaudRate();
    void SelectDataBits();
    void SelectStopBits();
    void SelectParity();
    void SelectFlowControl();

    // A picked entry: kept as the pending value, written at once with AutoApply.
    void Change(const std::string& text);
    // Writes the pending value of the served setting into the bound port.
    void ApplySettings();
    // Finds the bound port's current value in the list. False when there is nothing to look
    // for (no port or no setting); otherwise `index` is the entry's position or -1.
    bool UpdateSettings(int& index);

    // The value a pick or a match left to be written (port name for cpPort).
    const std::string& PendingPort() const { return port_; }

private:
    std::string CurrentValueText() const;
    void SetPending(const std::string& text);

    TStrings& items_;
    TCustomComPort* comPort_ = nullptr;
    TComProperty comProperty_ = cpNone;
    bool autoApply_ = false;
    std::string port_;
    TBaudRate baudRate_ = br9600;
    TDataBits dataBits_ = dbEight;
    TStopBits stopBits_ = sbOneStopBit;
    TParityBits parity_ = prNone;
    TFlowControl flowControl_ = fcNone;
};

// A drop-down list of one setting's choices bound to a port. While its stored settings are
// read (Loading), a selection is only marked; it is shown when the control is rebuilt
// (SetItemHeight) and when loading ends.
class TComComboBox : public QComboBox, public TComponent {
    Q_OBJECT
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const { return select_->ComProperty(); }
    void SetComProperty(TComProperty value);
    bool AutoApply() const { return select_->AutoApply(); }
    void SetAutoApply(bool value) { select_->SetAutoApply(value); }
    // The selected entry's text; "" when none is selected.
    std::string Text() const;
    // Selects the first entry equal to `text` (case ignored); otherwise changes nothing.
    void SetText(const std::string& text);
    int ItemIndex() const;
    void SetItemIndex(int index);
    // Rebuilds the list's window with the new entry height: the marked entry is shown.
    void SetItemHeight(int height);

    void ApplySettings() { select_->ApplySettings(); }
    void UpdateSettings();
    // The user has picked an entry.
    void Change();

    void Notification(TComponent* component, TOperation operation) override;
    void Loaded() override;

    // Ports come and go (an adapter plugged in after start-up): the port list is read again
    // each time it drops down, keeping the current pick while it is still there.
    void showPopup() override;

    const TComSelect& Selector() const { return *select_; }

    std::function<void(TComponent* sender)> OnChange;

protected:
    // Draws the shown entry cut at its left: two adapters of a kind differ at their ends.
    void paintEvent(QPaintEvent* event) override;

private:
    class Items;
    void Select(int index);
    void ListPortsAgain();
    void DescribePorts();

    std::unique_ptr<Items> items_;
    std::unique_ptr<TComSelect> select_;
    TCustomComPort* comPort_ = nullptr;
    int marked_ = -1;
};

// ---- Indicator lamp -----------------------------------------------------------------------

enum TLedKind {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};
enum TComLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedState { lsOff, lsOn };

using TLedStateEvent = std::function<void(TComponent* sender, TLedState state)>;

// One of the lamp glyphs built into the program (for example "LEDGREENON"): a 15 x 15 bitmap
// drawn with its bottom-left colour transparent. A null image for an unknown name.
QImage LoadLedGlyph(const char* name);
// `image` with every pixel of its bottom-left colour made transparent.
QImage MakeTransparent(const QImage& image);

// A windowless lamp that shows its on or off glyph. Unbound, its owner sets State; bound to a
// port, it follows one of the port's signals through a link and refuses outside changes.
class TComLed : public QWidget, public TComponent {
    Q_OBJECT
public:
    explicit TComLed(QWidget* parent = nullptr);
    ~TComLed() override;

    TCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort* port);
    TComLedSignal LedSignal() const { return ledSignal_; }
    void SetLedSignal(TComLedSignal signal);
    TLedKind Kind() const { return kind_; }
    void SetKind(TLedKind kind);
    const QImage& GlyphOn() const { return glyphOn_; }
    void SetGlyphOn(const QImage& image);
    const QImage& GlyphOff() const { return glyphOff_; }
    void SetGlyphOff(const QImage& image);
    TLedState State() const { return state_; }
    // Raises EComPort 19 while a port is bound.
    void SetState(TLedState state);
    int RingDuration() const { return ringTimer_.interval(); }
    void SetRingDuration(int milliseconds) { ringTimer_.setInterval(milliseconds); }

    // What the bound port's signal says right now.
    bool IsStateOn() const;
    // Where the glyph goes in the client area, and which one is drawn.
    QPoint CalcBitmapPos() const;
    const QImage& BitmapToDraw() const;

    void Notification(TComponent* component, TOperation operation) override;

    TLedStateEvent OnChange;

protected:
    virtual void DoChange(TLedState state);
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void SetStateInternal(TLedState state);
    void SignalChange(TComponent* sender, bool onOff);
    void RingDetect(TComponent* sender);
    void DoTimer();
    void SelectLedBitmap();
    void BitmapNeeded();

    TComLink link_;
    QTimer ringTimer_;
    QImage glyphOn_;
    QImage glyphOff_;
    TCustomComPort* comPort_ = nullptr;
    TComLedSignal ledSignal_ = lsConn;
    TLedKind kind_ = lkRedLight;
    TLedState state_ = lsOff;
};
