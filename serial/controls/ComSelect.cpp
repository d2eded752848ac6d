#include "serial/controls/ComSelect.h"

#include "framework/Exception.h"
#include "serial/ComPortInfo.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// One text per enumeration value, in the enumeration's order.
constexpr std::array<const char*, 16> BaudRateTexts{
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 4> DataBitsTexts{"5", "6", "7", "8"};
constexpr std::array<const char*, 3> StopBitsTexts{"1", "1.5", "2"};
constexpr std::array<const char*, 5> ParityTexts{"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> FlowControlTexts{"Hardware", "Software", "None", "Custom"};

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

template <typename E, std::size_t N>
E FromText(const std::array<const char*, N>& texts, const std::string& text, E fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (SameText(texts[i], text))
            return static_cast<E>(i);
    return fallback;
}

template <std::size_t N> void FillFrom(TStrings& items, const std::array<const char*, N>& texts) {
    items.Clear();
    for (const char* text : texts)
        items.Add(text);
}

struct PortListFolders {
    bool Set = false;
    std::string TtyClassDir, DevDir;
};

PortListFolders& Folders() {
    static PortListFolders folders;
    return folders;
}

} // namespace

void SetPortListFolders(std::string ttyClassDir, std::string devDir) {
    Folders() = {true, std::move(ttyClassDir), std::move(devDir)};
}

void ResetPortListFolders() {
    Folders() = {};
}

std::string PortListClassDir() {
    return Folders().Set ? Folders().TtyClassDir : "/sys/class/tty";
}

std::string BaudRateToStr(TBaudRate value) {
    return BaudRateTexts.at(value);
}
std::string DataBitsToStr(TDataBits value) {
    return DataBitsTexts.at(value);
}
std::string StopBitsToStr(TStopBits value) {
    return StopBitsTexts.at(value);
}
std::string ParityToStr(TParityBits value) {
    return ParityTexts.at(value);
}
std::string FlowControlToStr(TFlowControl value) {
    return FlowControlTexts.at(value);
}

TBaudRate StrToBaudRate(const std::string& text) {
    return FromText(BaudRateTexts, text, br9600);
}
TDataBits StrToDataBits(const std::string& text) {
    return FromText(DataBitsTexts, text, dbEight);
}
TStopBits StrToStopBits(const std::string& text) {
    return FromText(StopBitsTexts, text, sbOneStopBit);
}
TParityBits StrToParity(const std::string& text) {
    return FromText(ParityTexts, text, prNone);
}
TFlowControl StrToFlowControl(const std::string& text) {
    return FromText(FlowControlTexts, text, fcCustom);
}

// ---- TStrings / TComSelect --------------------------------------------------------------

int TStrings::IndexOfText(const std::string& text) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Strings(i), text))
            return i;
    return -1;
}

void TComSelect::SetComProperty(TComProperty value) {
    comProperty_ = value;
    switch (value) {
    case cpNone:
        items_.Clear();
        break;
    case cpPort:
        SelectPort();
        break;
    case cpBaudRate:
        SelectBaudRate();
        break;
    case cpDataBits:
        SelectDataBits();
        break;
    case cpStopBits:
        SelectStopBits();
        break;
    case cpParity:
        SelectParity();
        break;
    case cpFlowControl:
        SelectFlowControl();
        break;
    }
}

void TComSelect::SelectPort() {
    // Read first: a list that cannot be read leaves the entries as they were.
    std::vector<std::string> names;
#ifndef _WIN32
    if (Folders().Set)
        EnumComPorts(names, Folders().TtyClassDir, Folders().DevDir);
    else
#endif
        EnumComPorts(names);
    // Network ports by their names, after the local ones; the window has no place for the
    // files' bad lines (the flasher names them).
    std::vector<TPortsConfProblem> ignored;
    namedPorts_ = NamedNetPorts(ignored);
    items_.Clear();
    for (const std::string& name : names)
        items_.Add(name);
    for (const TNamedPort& port : namedPorts_)
        items_.Add(port.Name);
}

std::string TComSelect::NamedPortUrl(const std::string& entry) const {
    const std::string url = ResolvePortName(entry, namedPorts_);
    return url == entry ? std::string() : url;
}

void TComSelect::SelectBaudRate() {
    FillFrom(items_, BaudRateTexts);
}
void TComSelect::SelectDataBits() {
    FillFrom(items_, DataBitsTexts);
}
void TComSelect::SelectStopBits() {
    FillFrom(items_, StopBitsTexts);
}
void TComSelect::SelectParity() {
    FillFrom(items_, ParityTexts);
}
void TComSelect::SelectFlowControl() {
    FillFrom(items_, FlowControlTexts);
}

void TComSelect::SetPending(const std::string& text) {
    switch (comProperty_) {
    case cpNone:
        break;
    case cpPort:
        port_ = ResolvePortName(text, namedPorts_);
        break;
    case cpBaudRate:
        baudRate_ = StrToBaudRate(text);
        break;
    case cpDataBits:
        dataBits_ = StrToDataBits(text);
        break;
    case cpStopBits:
        stopBits_ = StrToStopBits(text);
        break;
    case cpParity:
        parity_ = StrToParity(text);
        break;
    case cpFlowControl:
        flowControl_ = StrToFlowControl(text);
        break;
    }
}

void TComSelect::Change(const std::string& text) {
    SetPending(text);
    if (autoApply_)
        ApplySettings();
}

void TComSelect::ApplySettings() {
    if (!comPort_)
        return;
    switch (comProperty_) {
    case cpNone:
        break;
    case cpPort:
        comPort_->SetPort(port_);
        break;
    case cpBaudRate:
        comPort_->SetBaudRate(baudRate_);
        break;
    case cpDataBits:
        comPort_->SetDataBits(dataBits_);
        break;
    case cpStopBits:
        comPort_->SetStopBits(stopBits_);
        break;
    case cpParity:
        comPort_->Parity().SetBits(parity_);
        break;
    case cpFlowControl:
        comPort_->FlowControl().SetFlowControl(flowControl_);
        break;
    }
}

std::string TComSelect::CurrentValueText() const {
    switch (comProperty_) {
    case cpPort:
        // A network port is listed under its name.
        for (const TNamedPort& named : namedPorts_)
            if (named.Url == comPort_->Port())
                return named.Name;
        return comPort_->Port();
    case cpBaudRate:
        return BaudRateToStr(comPort_->BaudRate());
    case cpDataBits:
        return DataBitsToStr(comPort_->DataBits());
    case cpStopBits:
        return StopBitsToStr(comPort_->StopBits());
    case cpParity:
        return ParityToStr(comPort_->Parity().Bits());
    case cpFlowControl:
        return FlowControlToStr(comPort_->FlowControl().FlowControl());
    case cpNone:
        break;
    }
    return {};
}

bool TComSelect::UpdateSettings(int& index) {
    if (!comPort_ || comProperty_ == cpNone)
        return false;
    index = items_.IndexOfText(CurrentValueText());
    if (index >= 0)
        SetPending(items_.Strings(index));
    return true;
}

const char* LedGlyphName(TLedKind kind, bool on) {
    static const char* const names[][2] = {
        {"LEDREDON", "LEDREDOFF"},       {"LEDGREENON", "LEDGREENOFF"},
        {"LEDBLUEON", "LEDBLUEOFF"},     {"LEDYELLOWON", "LEDYELLOWOFF"},
        {"LEDPURPLEON", "LEDPURPLEOFF"}, {"LEDBULBON", "LEDBULBOFF"},
    };
    if (kind < lkRedLight || kind >= lkCustom)
        return nullptr;
    return names[kind][on ? 0 : 1];
}

// ---- Drop-down --------------------------------------------------------------------------

TCustomComComboBox::TCustomComComboBox() = default;
TCustomComComboBox::~TCustomComComboBox() = default;

void TCustomComComboBox::SetEntries(std::unique_ptr<TStrings> entries) {
    entries_ = std::move(entries);
    select_ = std::make_unique<TComSelect>(*entries_);
}

void TCustomComComboBox::SetComPort(TCustomComPort* port) {
    if (port == comPort_)
        return;
    if (comPort_)
        RemoveFreeNotification(comPort_);
    comPort_ = port;
    select_->SetComPort(port);
    if (port) {
        FreeNotification(port);
        UpdateSettings();
    }
}

void TCustomComComboBox::SetComProperty(TComProperty value) {
    marked_ = -1;
    select_->SetComProperty(value);
    Refilled();
    // Filling an empty list may select its first entry by itself; the rules below decide.
    SetCurrentIndex(-1);
    if (entries_->Count() == 0)
        return;
    if (comPort_)
        UpdateSettings();
    else
        Select(0);
}

std::string TCustomComComboBox::Text() const {
    int index = CurrentIndex();
    return index >= 0 ? entries_->Strings(index) : std::string();
}

void TCustomComComboBox::SetText(const std::string& text) {
    int index = entries_->IndexOfText(text);
    if (index >= 0)
        Select(index);
}

int TCustomComComboBox::ItemIndex() const {
    return Loading() ? marked_ : CurrentIndex();
}

void TCustomComComboBox::SetItemIndex(int index) {
    Select(index < entries_->Count() ? index : -1);
}

void TCustomComComboBox::UpdateSettings() {
    int index = -1;
    if (select_->UpdateSettings(index))
        Select(index);
}

void TCustomComComboBox::Select(int index) {
    marked_ = index;
    if (!Loading())
        SetCurrentIndex(index);
}

void TCustomComComboBox::Change() {
    select_->Change(Text());
    if (OnChange)
        OnChange(this);
}

void TCustomComComboBox::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == comPort_) {
        comPort_ = nullptr;
        select_->SetComPort(nullptr);
        if (entries_->Count() > 0)
            Select(0);
    }
}

void TCustomComComboBox::Loaded() {
    TComponent::Loaded();
    if (marked_ >= 0)
        SetCurrentIndex(marked_);
}

void TCustomComComboBox::ListPortsAgain() {
    const std::string picked = Text();
    try {
        select_->SelectPort();
    } catch (...) {
        // The list as it was stays usable; the failure is still told.
        HandleException(std::current_exception());
        return;
    }
    Refilled();
    int index = picked.empty() ? -1 : entries_->IndexOfText(picked);
    if (index < 0 && comPort_)
        select_->UpdateSettings(index);
    if (index < 0 && entries_->Count() > 0)
        index = 0;
    Select(index);
    if (OnListed)
        OnListed(this);
}
