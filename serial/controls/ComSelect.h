#pragma once
// The rules of the setting selector, apart from any list control: the converters between a
// port's settings and their texts, the list of ports, and TComSelect, which fills a list with
// one setting's choices and writes a pick into the bound port. The lamp's kinds and signals are
// here too. The controls themselves are one file per toolkit (serial/qt/, serial/win32/).
#include "framework/Component.h"
#include "serial/ComPort.h"
#include "serial/net/PortsConf.h"

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

// The tty class folder the port list is read from ("/sys/class/tty" unless a test set one).
std::string PortListClassDir();

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
    // The URL behind an entry that names a network port from ports.conf; empty for others.
    std::string NamedPortUrl(const std::string& entry) const;

private:
    std::string CurrentValueText() const;
    void SetPending(const std::string& text);

    TStrings& items_;
    TCustomComPort* comPort_ = nullptr;
    TComProperty comProperty_ = cpNone;
    bool autoApply_ = false;
    std::string port_;
    std::vector<TNamedPort> namedPorts_; // listed after the local ports, by name
    TBaudRate baudRate_ = br9600;
    TDataBits dataBits_ = dbEight;
    TStopBits stopBits_ = sbOneStopBit;
    TParityBits parity_ = prNone;
    TFlowControl flowControl_ = fcNone;
};

// The drop-down's rules over a list control: the bound port, the marked entry while stored
// settings are read, picks and the port list read again. The toolkit control supplies the
// entries and its selection.
class TCustomComComboBox : public TComponent {
public:
    TCustomComComboBox();
    ~TCustomComComboBox() override;

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

    void ApplySettings() { select_->ApplySettings(); }
    void UpdateSettings();
    // The user has picked an entry.
    void Change();

    void Notification(TComponent* component, TOperation operation) override;
    void Loaded() override;

    const TComSelect& Selector() const { return *select_; }

    std::function<void(TComponent* sender)> OnChange;
    // The port list has been read again (on drop-down, or a device came or went): the shown
    // entry may have changed, or there may be none left.
    std::function<void(TComponent* sender)> OnListed;

protected:
    // For the toolkit control's constructor: the entries of its list.
    void SetEntries(std::unique_ptr<TStrings> entries);
    TStrings& Entries() const { return *entries_; }
    virtual int CurrentIndex() const = 0;
    virtual void SetCurrentIndex(int index) = 0;
    // The list has been filled anew.
    virtual void Refilled() {}

    // Shows `index` at once, or only marks it while loading.
    void Select(int index);
    int Marked() const { return marked_; }
    // Ports come and go: the list is read again each time it drops down and when the system
    // says a device came or went, keeping the current pick while it is still there.
    void ListPortsAgain();

private:
    std::unique_ptr<TStrings> entries_;
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

// The resource name of a kind's glyph, "LEDGREENON" for example; nullptr for lkCustom.
const char* LedGlyphName(TLedKind kind, bool on);
