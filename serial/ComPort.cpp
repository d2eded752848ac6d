#include "serial/ComPort.h"

#include "framework/Sync.h"
#include "serial/ComBackend.h"

#include <algorithm>
#include <cerrno>
#include <exception>

namespace {

const int baudRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                         14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// Handlers may register or unregister links while being told: walk a snapshot.
std::vector<TComLink*> Snapshot(const std::vector<TComLink*>& links) {
    return links;
}

} // namespace

// ---- sub-objects ----------------------------------------------------------------------------

TComTimeouts& TComTimeouts::operator=(const TComTimeouts& other) {
    CopyFields(other);
    return *this;
}

void TComTimeouts::CopyFields(const TComTimeouts& o) {
    readInterval_ = o.readInterval_;
    readTotalMultiplier_ = o.readTotalMultiplier_;
    readTotalConstant_ = o.readTotalConstant_;
    writeTotalMultiplier_ = o.writeTotalMultiplier_;
    writeTotalConstant_ = o.writeTotalConstant_;
}

void TComTimeouts::Set(int& field, int v) {
    if (field == v)
        return;
    field = v;
    if (owner_)
        owner_->ApplyTimeouts();
}

TComFlowControl& TComFlowControl::operator=(const TComFlowControl& other) {
    CopyFields(other);
    return *this;
}

void TComFlowControl::CopyFields(const TComFlowControl& o) {
    outCTSFlow_ = o.outCTSFlow_;
    outDSRFlow_ = o.outDSRFlow_;
    controlDTR_ = o.controlDTR_;
    controlRTS_ = o.controlRTS_;
    xonXoffOut_ = o.xonXoffOut_;
    xonXoffIn_ = o.xonXoffIn_;
    dsrSensitivity_ = o.dsrSensitivity_;
    txContinueOnXoff_ = o.txContinueOnXoff_;
    xonChar_ = o.xonChar_;
    xoffChar_ = o.xoffChar_;
}

void TComFlowControl::Apply() {
    if (owner_)
        owner_->ApplyDCB();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffOut_ && !xonXoffIn_)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffOut_ && xonXoffIn_)
        return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffOut_ && !xonXoffIn_)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        controlRTS_ = rtsDisable;
        outCTSFlow_ = xonXoffIn_ = xonXoffOut_ = false;
        if (v == fcHardware) {
            controlRTS_ = rtsHandshake;
            outCTSFlow_ = true;
        } else if (v == fcSoftware) {
            xonXoffIn_ = xonXoffOut_ = true;
        }
    }
    Apply();
}

TComParity& TComParity::operator=(const TComParity& other) {
    CopyFields(other);
    return *this;
}

void TComParity::CopyFields(const TComParity& o) {
    bits_ = o.bits_;
    check_ = o.check_;
    replace_ = o.replace_;
    replaceChar_ = o.replaceChar_;
}

void TComParity::Apply() {
    if (owner_)
        owner_->ApplyDCB();
}

TComBuffer& TComBuffer::operator=(const TComBuffer& other) {
    CopyFields(other);
    return *this;
}

void TComBuffer::CopyFields(const TComBuffer& o) {
    inputSize_ = o.inputSize_;
    outputSize_ = o.outputSize_;
}

void TComBuffer::Set(int& field, int v) {
    if (v > 0 && v % 2 != 0)
        --v;
    if (field == v)
        return;
    field = v;
    if (owner_)
        owner_->ApplyBuffer();
}

// ---- the component: settings ----------------------------------------------------------------

TCustomComPort::TCustomComPort()
    : parity_(this), flowControl_(this), timeouts_(this), buffer_(this) {}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        HandleException(std::current_exception());
    }
    // A handler that refused the close must not leave a thread running on a dead object.
    if (connected_) {
        StopThread();
        DestroyHandle();
        connected_ = false;
    }
}

void TCustomComPort::SetConnected(bool value) {
    if (Loading())
        connected_ = value;
    else if (value)
        Open();
    else
        Close();
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (value == baudRate_)
        return;
    baudRate_ = value;
    ApplyDCB();
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == port_)
        return;
    port_ = value;
    if (connected_ && !Loading()) {
        Close();
        Open();
    }
}

void TCustomComPort::SetParity(const TComParity& value) {
    parity_ = value;
    ApplyDCB();
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (value == stopBits_)
        return;
    stopBits_ = value;
    ApplyDCB();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (value == dataBits_)
        return;
    dataBits_ = value;
    ApplyDCB();
}

void TCustomComPort::SetDiscardNull(bool value) {
    if (value == discardNull_)
        return;
    discardNull_ = value;
    ApplyDCB();
}

void TCustomComPort::SetEventChar(char value) {
    if (value == eventChar_)
        return;
    eventChar_ = value;
    ApplyDCB();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
    buffer_ = value;
    ApplyBuffer();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
    flowControl_ = value;
    ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
    timeouts_ = value;
    ApplyTimeouts();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (value == syncMethod_)
        return;
    if (connected_ && !Loading())
        throw EComPort(mcSetWhileConnected);
    syncMethod_ = value;
}

void TCustomComPort::SetCustomBaudRate(int value) {
    if (value == customBaudRate_)
        return;
    customBaudRate_ = value;
    ApplyDCB();
}

void TCustomComPort::SetTriggersOnRxChar(bool value) {
    if (linkRx_)
        throw EComPort(mcLinkedToRxBuf);
    triggersOnRxChar_ = value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority value) {
    if (value == eventThreadPriority_)
        return;
    if (connected_ && !Loading())
        throw EComPort(mcSetWhileConnected);
    eventThreadPriority_ = value;
}

bool TCustomComPort::CanApply() const {
    return connected_ && backend_ && updateCount_ == 0 && !Loading() && !Designing();
}

void TCustomComPort::ApplyDCB() {
    if (!CanApply())
        return;
    TComLineSettings s;
    s.BaudRate = baudRate_ == brCustom ? customBaudRate_ : baudRates[baudRate_];
    s.DataBits = 5 + static_cast<int>(dataBits_);
    s.Parity = parity_.Bits();
    s.ParityCheck = parity_.Check();
    s.StopBits = stopBits_;
    s.DiscardNull = discardNull_;
    s.EventChar = eventChar_;
    s.OutCTSFlow = flowControl_.OutCTSFlow();
    s.OutDSRFlow = flowControl_.OutDSRFlow();
    s.ControlDTR = flowControl_.ControlDTR();
    s.ControlRTS = flowControl_.ControlRTS();
    s.XonXoffOut = flowControl_.XonXoffOut();
    s.XonXoffIn = flowControl_.XonXoffIn();
    s.XonChar = flowControl_.XonChar();
    s.XoffChar = flowControl_.XoffChar();
    s.DSRSensitivity = flowControl_.DSRSensitivity();
    s.TxContinueOnXoff = flowControl_.TxContinueOnXoff();
    s.ReplaceErrors = parity_.Check() && parity_.Replace();
    s.ErrorChar = s.ReplaceErrors ? parity_.ReplaceChar() : 0;
    if (int rc = backend_->SetLine(s))
        throw EComPort(mcSetCommStateFailed, rc);
}

void TCustomComPort::ApplyTimeouts() {
    if (!CanApply())
        return;
    TComTimeoutSettings t;
    t.ReadInterval = static_cast<uint32_t>(timeouts_.ReadInterval());
    t.ReadTotalMultiplier = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier());
    t.ReadTotalConstant = static_cast<uint32_t>(timeouts_.ReadTotalConstant());
    t.WriteTotalMultiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier());
    t.WriteTotalConstant = static_cast<uint32_t>(timeouts_.WriteTotalConstant());
    if (int rc = backend_->SetTimeouts(t))
        throw EComPort(mcSetCommTimeoutsFailed, rc);
}

void TCustomComPort::ApplyBuffer() {
    if (!CanApply())
        return;
    if (int rc = backend_->SetQueues(buffer_.InputSize(), buffer_.OutputSize()))
        throw EComPort(mcSetupCommFailed, rc);
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

void TCustomComPort::EndUpdate() {
    if (updateCount_ == 0)
        return;
    if (--updateCount_ == 0)
        SetupComPort();
}

// ---- open and close -------------------------------------------------------------------------

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (connected_ && !Designing()) {
        connected_ = false;
        try {
            Open();
        } catch (...) {
            HandleException(std::current_exception());
        }
    }
}

void TCustomComPort::CreateHandle() {
    std::unique_ptr<TComBackend> device = CreateComBackend(port_);
    if (int rc = device->Open(port_))
        throw EComPort(mcOpenFailed, rc);
    backend_ = std::move(device);
}

void TCustomComPort::DestroyHandle() {
    if (backend_) {
        backend_->Close();
        backend_.reset();
    }
}

void TCustomComPort::Open() {
    if (connected_ || Designing())
        return;
    DoBeforeOpen();
    CreateHandle();
    connected_ = true;
    try {
        SetupComPort();
        token_ = std::make_shared<OpenToken>(this);
        if (!events_.Empty())
            thread_ = std::make_unique<TComThread>(this);
    } catch (...) {
        token_.reset();
        DestroyHandle();
        connected_ = false;
        throw;
    }
    CallAfterOpen();
}

namespace {

// Event threads let go from their own dispatch, until they have ended. A modal box inside that
// dispatch runs queued routines before the dispatch returns, so no routine may wait for them:
// each look joins only those already ended and leaves the rest for a later one.
std::vector<std::unique_ptr<TComThread>>& RetiredThreads() {
    static std::vector<std::unique_ptr<TComThread>> threads;
    return threads;
}

void JoinEndedThreads() {
    // Taken out of the list before they are destroyed: a destructor's wait runs queued
    // routines, this one among them, which must find the list whole.
    std::vector<std::unique_ptr<TComThread>> ended;
    auto& retired = RetiredThreads();
    for (auto it = retired.begin(); it != retired.end();) {
        if ((*it)->Finished()) {
            ended.push_back(std::move(*it));
            it = retired.erase(it);
        } else {
            ++it;
        }
    }
}

void Retire(std::unique_ptr<TComThread> thread) {
    JoinEndedThreads();
    RetiredThreads().push_back(std::move(thread));
    // The dispatch has returned by the time the main loop runs this, unless a box inside it
    // is still open; then the next close or open looks again.
    Sync::Queue(JoinEndedThreads);
}

} // namespace

void TCustomComPort::StopThread() {
    // Hand-overs that were not waited for are dropped once a close has begun; a waited-for
    // dispatch still runs while the thread is joined below.
    if (token_ && syncMethod_ == smWindowSync)
        token_->Open = false;
    if (thread_ && dispatchDepth_ > 0) {
        // Closed from one of our own handlers: the thread is waiting for that handler to
        // return, so joining here would never end. Let it go and join it once it has ended.
        thread_->Stop();
        Retire(std::move(thread_));
    }
    thread_.reset(); // stops it and waits, running its pending dispatch meanwhile
    // Whatever is still queued for the main thread belongs to a closed port now.
    if (token_) {
        token_->Open = false;
        token_.reset();
    }
}

void TCustomComPort::Close() {
    if (!connected_ || Designing() || closing_)
        return;
    struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
    } guard{closing_};
    closing_ = true;
    CallBeforeClose();
    // A device that went away (an adapter pulled out) cannot abort its transfers; it is
    // closed all the same, and the failure told once it is.
    std::exception_ptr abortError;
    try {
        AbortAllAsync();
    } catch (const EComPort&) {
        abortError = std::current_exception();
    }
    StopThread();
    DestroyHandle();
    connected_ = false;
    CallAfterClose();
    if (abortError)
        std::rethrow_exception(abortError);
}

void TCustomComPort::AbortAllAsync() {
    if (int rc = Device(mcPurgeFailed).AbortIo())
        throw EComPort(mcPurgeFailed, rc);
}

void TCustomComPort::CallAfterOpen() {
    SendSignalToLink(leConn, true);
    DoAfterOpen();
    CheckSignals(true);
}

void TCustomComPort::CallBeforeClose() {
    CheckSignals(false);
    DoBeforeClose();
}

void TCustomComPort::CallAfterClose() {
    SendSignalToLink(leConn, false);
    DoAfterClose();
}

void TCustomComPort::CheckSignals(bool open) {
    if (open) {
        CallCTSChange();
        CallDSRChange();
        CallRLSDChange();
        return;
    }
    SendSignalToLink(leCTS, false);
    SendSignalToLink(leDSR, false);
    SendSignalToLink(leRLSD, false);
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
}

TComBackend& TCustomComPort::Device(TComMessageCode messageCode) {
    if (!backend_)
        throw EComPort(messageCode, ComClosedPortError);
    return *backend_;
}

TComSignals TCustomComPort::Signals() {
    unsigned lines = 0;
    if (int rc = Device(mcModemStatusFailed).ModemStatus(lines))
        throw EComPort(mcModemStatusFailed, rc);
    TComSignals s;
    if (lines & MsCtsOn)
        s.Include(csCTS);
    if (lines & MsDsrOn)
        s.Include(csDSR);
    if (lines & MsRingOn)
        s.Include(csRing);
    if (lines & MsRlsdOn)
        s.Include(csRLSD);
    return s;
}

// ---- links ----------------------------------------------------------------------------------

void TCustomComPort::UpdateLinkRx() {
    linkRx_ = std::any_of(links_.begin(), links_.end(),
                          [](TComLink* l) { return static_cast<bool>(l->RxBufHandler); });
}

void TCustomComPort::RegisterLink(TComLink* link) {
    if (link == nullptr || std::find(links_.begin(), links_.end(), link) != links_.end())
        throw EComPort(mcLinkRegistrationFailed);
    links_.push_back(link);
    UpdateLinkRx();
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
    auto it = std::find(links_.begin(), links_.end(), link);
    if (it == links_.end())
        throw EComPort(mcLinkRegistrationFailed);
    links_.erase(it);
    UpdateLinkRx();
}

void TCustomComPort::SendSignalToLink(TComLinkEvent event, bool onOff) {
    for (TComLink* link : Snapshot(links_)) {
        TComLink::SignalHandler* slot = nullptr;
        switch (event) {
        case leConn:
            slot = &link->ConnSignal;
            break;
        case leCTS:
            slot = &link->CTSSignal;
            break;
        case leDSR:
            slot = &link->DSRSignal;
            break;
        case leRLSD:
            slot = &link->RLSDSignal;
            break;
        case leRx:
            slot = &link->RxSignal;
            break;
        case leTx:
            slot = &link->TxSignal;
            break;
        default:
            return;
        }
        if (*slot)
            (*slot)(this, onOff);
    }
}

void TCustomComPort::NotifyLink(TComLinkEvent event) {
    for (TComLink* link : Snapshot(links_)) {
        TComLink::Notify* slot = nullptr;
        switch (event) {
        case leRing:
            slot = &link->RingNotify;
            break;
        case leTxEmpty:
            slot = &link->TxEmptyNotify;
            break;
        case leRxFlag:
            slot = &link->RxFlagNotify;
            break;
        default:
            return;
        }
        if (*slot)
            (*slot)(this);
    }
}

void TCustomComPort::TxNotifyLink(const void* buffer, int count) {
    for (TComLink* link : Snapshot(links_))
        if (link->TxBufHandler)
            link->TxBufHandler(this, buffer, count);
}

// ---- reads, writes, queues ------------------------------------------------------------------

int TCustomComPort::InputCount() {
    int count = 0;
    if (int rc = Device(mcClearCommErrorFailed).InputCount(count))
        throw EComPort(mcClearCommErrorFailed, rc);
    return count;
}

int TCustomComPort::OutputCount() {
    int count = 0;
    if (int rc = Device(mcClearCommErrorFailed).OutputCount(count))
        throw EComPort(mcClearCommErrorFailed, rc);
    return count;
}

int TCustomComPort::Read(void* Buffer, int Count) {
    int got = 0;
    if (int rc = Device(mcReadFailed).Read(Buffer, Count, got))
        throw EComPort(mcReadFailed, rc);
    if (got > 0 && OnReadTrace)
        OnReadTrace(this, Buffer, got);
    // Only links hear that the input ran dry; spare the extra query otherwise.
    if (!links_.empty() && InputCount() == 0)
        SendSignalToLink(leRx, false);
    return got;
}

int TCustomComPort::Write(const void* Buffer, int Count) {
    TComBackend& device = Device(mcWriteFailed);
    if (Count <= 0)
        return 0;
    int sent = 0;
    if (int rc = device.Write(Buffer, Count, sent))
        throw EComPort(mcWriteFailed, rc);
    SendSignalToLink(leTx, true);
    TxNotifyLink(Buffer, Count);
    return sent;
}

int TCustomComPort::WriteStr(const std::string& Str) {
    if (Str.empty())
        return 0;
    return Write(Str.data(), static_cast<int>(Str.size()));
}

void TCustomComPort::ClearBuffer(bool Input, bool Output) {
    if (int rc = Device(mcPurgeFailed).Purge(Input, Output))
        throw EComPort(mcPurgeFailed, rc);
}

TComErrors TCustomComPort::LastErrors() {
    unsigned bits = 0;
    if (int rc = Device(mcClearCommErrorFailed).TakeErrors(bits))
        throw EComPort(mcClearCommErrorFailed, rc);
    TComErrors e;
    if (bits & CeFrame)
        e.Include(ceFrame);
    if ((bits & CeRxParity) && parity_.Check())
        e.Include(ceRxParity);
    if (bits & CeOverrun)
        e.Include(ceOverrun);
    if (bits & CeBreak)
        e.Include(ceBreak);
    if (bits & CeIoe)
        e.Include(ceIO);
    if (bits & CeMode)
        e.Include(ceMode);
    if (bits & CeRxOver)
        e.Include(ceRxOver);
    if (bits & CeTxFull)
        e.Include(ceTxFull);
    return e;
}

// ---- per-event procedures -------------------------------------------------------------------

void TCustomComPort::CallError() {
    TComErrors errors = LastErrors();
    if (!errors.Empty())
        DoError(errors);
}

void TCustomComPort::CallRxChar() {
    int count = InputCount();
    if (count > 0)
        SendSignalToLink(leRx, true);
    if (count > 0 && !TriggersOnRxChar()) {
        std::vector<char> buffer;
        bool read = false;
        auto readAll = [&] {
            buffer.resize(static_cast<size_t>(count));
            buffer.resize(static_cast<size_t>(Read(buffer.data(), count)));
            DoRxBuf(buffer.data(), static_cast<int>(buffer.size()));
            read = true;
        };
        std::vector<TComLink*> links = Snapshot(links_);
        for (size_t i = 0; i < links.size(); ++i) {
            if (!links[i]->RxBufHandler)
                continue;
            readAll();
            for (size_t j = i; j < links.size(); ++j)
                if (links[j]->RxBufHandler)
                    links[j]->RxBufHandler(this, buffer.data(), static_cast<int>(buffer.size()));
            break;
        }
        if (!read && !triggersOnRxChar_)
            readAll();
        if (read)
            count = 0;
    }
    if (count > 0)
        DoRxChar(count);
}

void TCustomComPort::CallTxEmpty() {
    SendSignalToLink(leTx, false);
    NotifyLink(leTxEmpty);
    DoTxEmpty();
}

void TCustomComPort::CallBreak() {
    DoBreak();
}

void TCustomComPort::CallRing() {
    NotifyLink(leRing);
    DoRing();
}

void TCustomComPort::CallCTSChange() {
    bool on = Signals().Contains(csCTS);
    SendSignalToLink(leCTS, on);
    DoCTSChange(on);
}

void TCustomComPort::CallDSRChange() {
    bool on = Signals().Contains(csDSR);
    SendSignalToLink(leDSR, on);
    DoDSRChange(on);
}

void TCustomComPort::CallRLSDChange() {
    bool on = Signals().Contains(csRLSD);
    SendSignalToLink(leRLSD, on);
    DoRLSDChange(on);
}

void TCustomComPort::CallRxFlag() {
    NotifyLink(leRxFlag);
    DoRxFlag();
}

void TCustomComPort::CallRx80Full() {
    DoRx80Full();
}

// ---- notifications --------------------------------------------------------------------------

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int count) {
    if (OnRxChar)
        OnRxChar(this, count);
}
void TCustomComPort::DoRxBuf(const void* buffer, int count) {
    if (OnRxBuf)
        OnRxBuf(this, buffer, count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool onOff) {
    if (OnCTSChange)
        OnCTSChange(this, onOff);
}
void TCustomComPort::DoDSRChange(bool onOff) {
    if (OnDSRChange)
        OnDSRChange(this, onOff);
}
void TCustomComPort::DoError(TComErrors errors) {
    if (OnError)
        OnError(this, errors);
}
void TCustomComPort::DoRLSDChange(bool onOff) {
    if (OnRLSDChange)
        OnRLSDChange(this, onOff);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full)
        OnRx80Full(this);
}
