#pragma once
// The serial port component: settings, open and close, links to other components, reads
// and writes, the event thread that reports port events on the main thread, and the list
// of ports present.
#include "framework/Component.h"
#include "framework/Exception.h"
#include "framework/Thread.h"
#include "serial/ComTypes.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TComBackend;
class TCustomComPort;
class TComThread;

// ---- errors ---------------------------------------------------------------------------------

// The message codes of EComPort, one per row of ComPortMessages; the values are fixed.
enum TComMessageCode {
    mcOpenFailed = 1,         // "Unable to open com port"
    mcWriteFailed,            // "WriteFile function failed"
    mcReadFailed,             // "ReadFile function failed"
    mcInvalidAsync,           // "Invalid Async parameter"
    mcPurgeFailed,            // "PurgeComm function failed"
    mcAsyncStatusFailed,      // "Unable to get async status"
    mcSetCommStateFailed,     // "SetCommState function failed"
    mcSetCommTimeoutsFailed,  // "SetCommTimeouts failed"
    mcSetupCommFailed,        // "SetupComm function failed"
    mcClearCommErrorFailed,   // "ClearCommError function failed"
    mcModemStatusFailed,      // "GetCommModemStatus function failed"
    mcEscapeCommFailed,       // "EscapeCommFunction function failed"
    mcTransmitCharFailed,     // "TransmitCommChar function failed"
    mcSetWhileConnected,      // "Cannot set property while connected"
    mcEnumPortsFailed,        // "EnumPorts function failed"
    mcStoreFailed,            // "Failed to store settings"
    mcLoadFailed,             // "Failed to load settings"
    mcLinkRegistrationFailed, // "Link (un)registration failed"
    mcLedStateWithPort,       // "Cannot change led state if ComPort is selected"
    mcWaitWithThread,         // "Cannot wait for event if event thread is created"
    mcWaitForEventFailed,     // "WaitForEvent method failed"
    mcLinkedToRxBuf,          // "A component is linked to OnRxBuf event"
    mcRegistryError,          // "Registry error"
};
inline constexpr int ComMessageCodeCount = mcRegistryError;
static_assert(ComMessageCodeCount == 23, "the codes are numbered 1 to 23");

// The message texts by code (1 to 23; 0 unused). Start-up may overwrite them with
// translations; the English originals stay in ComPortMessageTexts.
extern std::string ComPortMessages[ComMessageCodeCount + 1];
extern const char* const ComPortMessageTexts[ComMessageCodeCount + 1];

// The translation runtime installs its lookup here; nullptr restores the English texts.
using ComPortTranslator = std::string (*)(const std::string& text);
void SetComPortTranslator(ComPortTranslator translator);
// Stores the translation of every message text in ComPortMessages (start-up).
void TranslateComPortMessages();
// The suffix pattern " (win error code: %d)", translated anew each time an error is made.
std::string ComPortErrorSuffix();

class EComPort : public Exception {
public:
    explicit EComPort(int messageCode);
    EComPort(int messageCode, int winErrorCode);

    int WinErrorCode = -1; // the platform's error at the failure, -1 when there is none
    int MessageCode = 0;   // a TComMessageCode
};

// ---- sub-objects ----------------------------------------------------------------------------

class TComTimeouts : public TPersistent {
public:
    explicit TComTimeouts(TCustomComPort* owner = nullptr) : owner_(owner) {}
    TComTimeouts(const TComTimeouts& other) : TPersistent(), owner_(nullptr) { CopyFields(other); }
    TComTimeouts& operator=(const TComTimeouts& other);

    int ReadInterval() const { return readInterval_; }
    int ReadTotalMultiplier() const { return readTotalMultiplier_; }
    int ReadTotalConstant() const { return readTotalConstant_; }
    int WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    int WriteTotalConstant() const { return writeTotalConstant_; }
    void SetReadInterval(int v) { Set(readInterval_, v); }
    void SetReadTotalMultiplier(int v) { Set(readTotalMultiplier_, v); }
    void SetReadTotalConstant(int v) { Set(readTotalConstant_, v); }
    void SetWriteTotalMultiplier(int v) { Set(writeTotalMultiplier_, v); }
    void SetWriteTotalConstant(int v) { Set(writeTotalConstant_, v); }

private:
    void Set(int& field, int v);
    void CopyFields(const TComTimeouts& o);
    TCustomComPort* owner_;
    int readInterval_ = -1, readTotalMultiplier_ = 0, readTotalConstant_ = 0;
    int writeTotalMultiplier_ = 100, writeTotalConstant_ = 1000;
};

class TComFlowControl : public TPersistent {
public:
    explicit TComFlowControl(TCustomComPort* owner = nullptr) : owner_(owner) {}
    TComFlowControl(const TComFlowControl& other) : TPersistent(), owner_(nullptr) {
        CopyFields(other);
    }
    TComFlowControl& operator=(const TComFlowControl& other);

    bool OutCTSFlow() const { return outCTSFlow_; }
    bool OutDSRFlow() const { return outDSRFlow_; }
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DSRSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    char XonChar() const { return xonChar_; }
    char XoffChar() const { return xoffChar_; }
    void SetOutCTSFlow(bool v) { Set(outCTSFlow_, v); }
    void SetOutDSRFlow(bool v) { Set(outDSRFlow_, v); }
    void SetControlDTR(TDTRFlowControl v) { Set(controlDTR_, v); }
    void SetControlRTS(TRTSFlowControl v) { Set(controlRTS_, v); }
    void SetXonXoffOut(bool v) { Set(xonXoffOut_, v); }
    void SetXonXoffIn(bool v) { Set(xonXoffIn_, v); }
    void SetDSRSensitivity(bool v) { Set(dsrSensitivity_, v); }
    void SetTxContinueOnXoff(bool v) { Set(txContinueOnXoff_, v); }
    void SetXonChar(char v) { Set(xonChar_, v); }
    void SetXoffChar(char v) { Set(xoffChar_, v); }

    // The summary of the fields above; setting it rewrites them and applies once.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

private:
    template <typename T> void Set(T& field, T v) {
        if (field == v)
            return;
        field = v;
        Apply();
    }
    void Apply();
    void CopyFields(const TComFlowControl& o);
    TCustomComPort* owner_;
    bool outCTSFlow_ = false, outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false, xonXoffIn_ = false, dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    char xonChar_ = 17, xoffChar_ = 19;
};

class TComParity : public TPersistent {
public:
    explicit TComParity(TCustomComPort* owner = nullptr) : owner_(owner) {}
    TComParity(const TComParity& other) : TPersistent(), owner_(nullptr) { CopyFields(other); }
    TComParity& operator=(const TComParity& other);

    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    char ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits v) { Set(bits_, v); }
    void SetCheck(bool v) { Set(check_, v); }
    void SetReplace(bool v) { Set(replace_, v); }
    void SetReplaceChar(char v) { Set(replaceChar_, v); }

private:
    template <typename T> void Set(T& field, T v) {
        if (field == v)
            return;
        field = v;
        Apply();
    }
    void Apply();
    void CopyFields(const TComParity& o);
    TCustomComPort* owner_;
    TParityBits bits_ = prNone;
    bool check_ = false, replace_ = false;
    char replaceChar_ = 0;
};

class TComBuffer : public TPersistent {
public:
    explicit TComBuffer(TCustomComPort* owner = nullptr) : owner_(owner) {}
    TComBuffer(const TComBuffer& other) : TPersistent(), owner_(nullptr) { CopyFields(other); }
    TComBuffer& operator=(const TComBuffer& other);

    int InputSize() const { return inputSize_; }
    int OutputSize() const { return outputSize_; }
    // Driver queues take even sizes: an odd positive value is stored one lower.
    void SetInputSize(int v) { Set(inputSize_, v); }
    void SetOutputSize(int v) { Set(outputSize_, v); }

private:
    void Set(int& field, int v);
    void CopyFields(const TComBuffer& o);
    TCustomComPort* owner_;
    int inputSize_ = 1024, outputSize_ = 1024;
};

// ---- links ----------------------------------------------------------------------------------

// How a linked component (an LED, a terminal) hears of the port. The linking component
// fills the slots it wants and owns the link.
class TComLink {
public:
    using SignalHandler = std::function<void(TComponent* Sender, bool OnOff)>;
    using BufHandler = std::function<void(TComponent* Sender, const void* Buffer, int Count)>;
    using Notify = std::function<void(TComponent* Sender)>;

    SignalHandler ConnSignal;
    BufHandler RxBufHandler;
    BufHandler TxBufHandler;
    Notify TxEmptyNotify;
    Notify RxFlagNotify;
    SignalHandler CTSSignal;
    SignalHandler DSRSignal;
    SignalHandler RLSDSignal;
    Notify RingNotify;
    SignalHandler TxSignal;
    SignalHandler RxSignal;
};

// ---- the component --------------------------------------------------------------------------

class TCustomComPort : public TComponent {
public:
    using TNotifyEvent = std::function<void(TComponent* Sender)>;
    using TRxCharEvent = std::function<void(TComponent* Sender, int Count)>;
    using TRxBufEvent = std::function<void(TComponent* Sender, const void* Buffer, int Count)>;
    using TComSignalEvent = std::function<void(TComponent* Sender, bool OnOff)>;
    using TComErrorEvent = std::function<void(TComponent* Sender, TComErrors Errors)>;

    TCustomComPort();
    ~TCustomComPort() override;

    // Properties.
    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    TComParity& Parity() { return parity_; }
    void SetParity(const TComParity& value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char value);
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value) { events_ = value; }
    TComBuffer& Buffer() { return buffer_; }
    void SetBuffer(const TComBuffer& value);
    TComFlowControl& FlowControl() { return flowControl_; }
    void SetFlowControl(const TComFlowControl& value);
    TComTimeouts& Timeouts() { return timeouts_; }
    void SetTimeouts(const TComTimeouts& value);
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);
    int CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int value);
    bool TriggersOnRxChar() const { return triggersOnRxChar_ && !linkRx_; }
    void SetTriggersOnRxChar(bool value);
    TThreadPriority EventThreadPriority() const { return eventThreadPriority_; }
    void SetEventThreadPriority(TThreadPriority value);

    // Handlers.
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;
    // Hears the bytes of every Read that returned some (a trace of the line; writes reach
    // links through TxBufHandler).
    TRxBufEvent OnReadTrace;

    void Loaded() override;
    void Open();
    void Close();
    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();
    void AbortAllAsync();
    TComSignals Signals();

    void RegisterLink(TComLink* link);
    void UnRegisterLink(TComLink* link);
    void SendSignalToLink(TComLinkEvent event, bool onOff);
    void NotifyLink(TComLinkEvent event);
    void TxNotifyLink(const void* buffer, int count);
    void CheckSignals(bool open);

    // Reads, writes, queues.
    int InputCount();
    int OutputCount();
    int Read(void* Buffer, int Count);
    int Write(const void* Buffer, int Count);
    int WriteStr(const std::string& Str);
    void ClearBuffer(bool Input, bool Output);
    TComErrors LastErrors();

    // The notifications, and the per-event procedures the event thread dispatches to.
    void CallAfterOpen();
    void CallBeforeClose();
    void CallAfterClose();
    void CallError();
    void CallRxChar();
    void CallTxEmpty();
    void CallBreak();
    void CallRing();
    void CallCTSChange();
    void CallDSRChange();
    void CallRxFlag();
    void CallRLSDChange();
    void CallRx80Full();

    // Apply groups of settings to an open device (nothing while closed, updating or loading).
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

    // The event thread, while one runs (tests look at it).
    TComThread* EventThread() const { return thread_.get(); }

protected:
    virtual void CreateHandle();
    virtual void DestroyHandle();
    virtual void SetupComPort();
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int count);
    virtual void DoRxBuf(const void* buffer, int count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool onOff);
    virtual void DoDSRChange(bool onOff);
    virtual void DoError(TComErrors errors);
    virtual void DoRLSDChange(bool onOff);
    virtual void DoRx80Full();

private:
    friend class TComThread;
    bool CanApply() const;
    void StopThread();
    TComBackend& Device(TComMessageCode messageCode);
    void UpdateLinkRx();

    bool connected_ = false;
    bool closing_ = false;
    int dispatchDepth_ = 0; // > 0 while the main thread runs a synchronized dispatch
    TBaudRate baudRate_ = br9600;
    std::string port_ = "COM1";
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    char eventChar_ = 0;
    TComEvents events_ = AllComEvents;
    TSyncMethod syncMethod_ = smThreadSync;
    int customBaudRate_ = 9600;
    bool triggersOnRxChar_ = true;
    TThreadPriority eventThreadPriority_ = tpNormal;
    TComParity parity_;
    TComFlowControl flowControl_;
    TComTimeouts timeouts_;
    TComBuffer buffer_;
    int updateCount_ = 0;
    std::vector<TComLink*> links_;
    bool linkRx_ = false;
    std::shared_ptr<TComBackend> backend_;
    std::unique_ptr<TComThread> thread_;

    // Handed to asynchronous dispatches, which run only while it still says open.
    struct OpenToken {
        explicit OpenToken(TCustomComPort* port) : Port(port) {}
        TCustomComPort* Port;
        std::atomic<bool> Open{true};
    };
    std::shared_ptr<OpenToken> token_;
};

class TComPort : public TCustomComPort {};

// ---- the event thread -----------------------------------------------------------------------

TComEvents MaskToComEvents(unsigned mask);
unsigned ComEventsToMask(TComEvents events);

class TComThread : public TThread {
public:
    explicit TComThread(TCustomComPort* owner);
    ~TComThread() override;
    // Asks Execute to end; returns at once.
    void Stop();

    TComEvents ReceivedEvents;

protected:
    void Execute() override;

private:
    void DispatchComMsg();
    void DoEvents();
    void SendEvents();

    TCustomComPort* owner_;
    std::shared_ptr<TComBackend> backend_;
    std::shared_ptr<TCustomComPort::OpenToken> token_;
    unsigned mask_;
    TSyncMethod syncMethod_;
};

// ---- the port list --------------------------------------------------------------------------

// The serial ports present, sorted with ASCII letters folded (COM1, COM10, COM2).
void EnumComPorts(std::vector<std::string>& list);
#ifndef _WIN32
// The same over other roots (tests): the tty class folder and the device folder.
void EnumComPorts(std::vector<std::string>& list, const std::string& ttyClassDir,
                  const std::string& devDir);
#endif
// Byte-wise order with ASCII letters folded.
bool ComPortNameLess(const std::string& a, const std::string& b);
