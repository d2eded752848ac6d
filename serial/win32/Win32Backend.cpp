// The Win32 implementation of the port backend: overlapped I/O on "\\.\" + port, with the
// device event wait (WaitCommEvent) and a stop event for the event thread.
#include "serial/ComBackend.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include <windows.h>

namespace {

// A pending device wait that keeps ending on its own (Wine on a device without modem lines
// ends it after a few milliseconds with error 995) must not turn the thread into a busy loop:
// after a few such wakes it sleeps between rounds, at most this long.
constexpr DWORD kFalseWakeSleepMaxMs = 20;
// Slack on top of the timeouts' own limit before an overlapped call is given up as hung.
constexpr DWORD kHungSlackMs = 2000;

constexpr unsigned kModemEventBits = EvCtsBit | EvDsrBit | EvRlsdBit | EvRingBit;

// The overlapped record of one read or write, with its own completion event.
struct TAsyncIo {
    OVERLAPPED Io{};
    TAsyncIo() { Io.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr); }
    ~TAsyncIo() {
        if (Io.hEvent)
            CloseHandle(Io.hEvent);
    }
    TAsyncIo(const TAsyncIo&) = delete;
    TAsyncIo& operator=(const TAsyncIo&) = delete;
};

// How long an overlapped read or write may take before it is taken as hung; INFINITE when
// the timeouts ask to wait for ever.
DWORD Limit(DWORD multiplier, DWORD constant, int count) {
    if (multiplier == 0 && constant == 0)
        return INFINITE;
    if (multiplier == MAXDWORD || constant == MAXDWORD)
        return INFINITE;
    uint64_t ms = uint64_t(multiplier) * uint64_t(std::max(count, 0)) + constant + kHungSlackMs;
    return static_cast<DWORD>(std::min<uint64_t>(ms, INFINITE - 1));
}

class Win32Backend final : public TComBackend {
public:
    Win32Backend() {
        stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        waitIo_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    }

    ~Win32Backend() override {
        Close();
        // The device wait's record and mask outlive the handle: closing it ends the wait.
        if (waitIo_.hEvent)
            CloseHandle(waitIo_.hEvent);
        if (stopEvent_)
            CloseHandle(stopEvent_);
    }

    void Close() override {
        HANDLE h = handle_.exchange(INVALID_HANDLE_VALUE);
        if (h == INVALID_HANDLE_VALUE)
            return;
        interrupted_ = true;
        SetEvent(stopEvent_);
        // Unsent bytes at a low rate would hold the close for many seconds.
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(h);
    }

    int Read(void* buffer, int count, int& got) override {
        got = 0;
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        readSinceCheck_ = true;
        TComTimeoutSettings t = Timeouts();
        DWORD limit;
        if (t.ReadInterval == MAXDWORD && t.ReadTotalMultiplier == 0 && t.ReadTotalConstant == 0) {
            // "Return at once with what is there": Wine leaves such a read pending on an
            // empty queue, so it is only started for bytes that are already waiting.
            int waiting = 0;
            if (int rc = InputCount(waiting))
                return rc;
            if (waiting == 0)
                return 0;
            count = std::min(count, waiting);
            limit = kHungSlackMs;
        } else {
            // Interval MAXDWORD with a total constant never completes under Wine either: the
            // limit ends it.
            limit = Limit(t.ReadTotalMultiplier == MAXDWORD ? 0 : t.ReadTotalMultiplier,
                          t.ReadTotalConstant, count);
        }
        DWORD n = 0;
        int rc = Overlapped(h, false, buffer, count, limit, n);
        got = static_cast<int>(n);
        return rc;
    }

    int Write(const void* buffer, int count, int& sent) override {
        sent = 0;
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        TComTimeoutSettings t = Timeouts();
        DWORD n = 0;
        int rc = Overlapped(h, true, const_cast<void*>(buffer), count,
                            Limit(t.WriteTotalMultiplier, t.WriteTotalConstant, count), n);
        sent = static_cast<int>(n);
        if (sent > 0)
            txPending_ = true;
        return rc;
    }

    int InputCount(int& count) override {
        COMSTAT stat{};
        DWORD errors = 0;
        int rc = Status(errors, stat);
        count = rc == 0 ? static_cast<int>(stat.cbInQue) : 0;
        return rc;
    }

    int OutputCount(int& count) override {
        COMSTAT stat{};
        DWORD errors = 0;
        int rc = Status(errors, stat);
        count = rc == 0 ? static_cast<int>(stat.cbOutQue) : 0;
        return rc;
    }

    int Purge(bool input, bool output) override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        DWORD flags = (input ? PURGE_RXCLEAR : 0) | (output ? PURGE_TXCLEAR : 0);
        if (flags == 0)
            return 0;
        if (!PurgeComm(h, flags))
            return static_cast<int>(GetLastError());
        if (input)
            lastInQueue_ = 0;
        return 0;
    }

    int ModemStatus(unsigned& lines) override {
        lines = 0;
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        DWORD status = 0;
        if (!GetCommModemStatus(h, &status)) {
            DWORD error = GetLastError();
            // A device without modem lines (Wine on a pseudo-terminal): its lines read as off.
            return IsUnsupported(error) ? 0 : static_cast<int>(error);
        }
        lines = status & (MsCtsOn | MsDsrOn | MsRingOn | MsRlsdOn);
        return 0;
    }

    int TakeErrors(unsigned& errors) override {
        COMSTAT stat{};
        DWORD bits = 0;
        int rc = Status(bits, stat);
        errors = rc == 0 ? bits | keptErrors_.exchange(0) : 0;
        return rc;
    }

    int WaitEvent(unsigned mask, unsigned& events) override {
        events = 0;
        for (unsigned falseWakes = 0;;) {
            if (interrupted_)
                return 0;
            HANDLE h = handle_;
            if (h == INVALID_HANDLE_VALUE)
                return ERROR_INVALID_HANDLE;
            if (int rc = Arm(h, mask))
                return rc;
            DWORD got = 0;
            int rc = WaitOnce(h, got);
            if (interrupted_)
                return 0;
            if (rc == 0 && (got & armed_)) {
                events = got & armed_;
                lastInQueue_ = -1; // reported: the next count is news again
                return 0;
            }
            if (rc == ERROR_NOT_SUPPORTED && (armed_ & kModemEventBits)) {
                // No modem lines to watch: wait for the rest.
                noModemEvents_ = true;
                continue;
            }
            if (rc != 0 && rc != ERROR_OPERATION_ABORTED)
                return rc;
            // The wait ended with nothing to say: look at the queues ourselves.
            events = Polled(h, mask);
            if (events)
                return 0;
            if (++falseWakes > 2) {
                DWORD ms =
                    std::min<DWORD>(1u << std::min(falseWakes - 3, 5u), kFalseWakeSleepMaxMs);
                if (WaitForSingleObject(stopEvent_, ms) == WAIT_OBJECT_0)
                    return 0;
            }
        }
    }

    void Interrupt() override {
        interrupted_ = true;
        SetEvent(stopEvent_);
        // CancelIoEx does not end a pending WaitCommEvent under Wine; a new mask does.
        HANDLE h = handle_;
        if (h != INVALID_HANDLE_VALUE)
            SetCommMask(h, 0);
    }

protected:
    int DoOpen(const std::string& port) override {
        if (!stopEvent_ || !waitIo_.hEvent)
            return static_cast<int>(GetLastError());
        std::string name = "\\\\.\\" + port;
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return static_cast<int>(GetLastError());
        handle_ = h;
        return 0;
    }

    int DoSetLine(const TComLineSettings& s) override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = static_cast<DWORD>(s.BaudRate);
        dcb.fBinary = 1;
        dcb.fParity = s.ParityCheck;
        dcb.fOutxCtsFlow = s.OutCTSFlow;
        dcb.fOutxDsrFlow = s.OutDSRFlow;
        dcb.fDtrControl = static_cast<DWORD>(s.ControlDTR);
        dcb.fDsrSensitivity = s.DSRSensitivity;
        dcb.fTXContinueOnXoff = s.TxContinueOnXoff;
        dcb.fErrorChar = s.ReplaceErrors;
        dcb.fOutX = s.XonXoffOut;
        dcb.fInX = s.XonXoffIn;
        dcb.fNull = s.DiscardNull;
        dcb.fRtsControl = static_cast<DWORD>(s.ControlRTS);
        dcb.XonLim = dcb.XoffLim = static_cast<WORD>(inputSize_ / 4);
        dcb.ByteSize = static_cast<BYTE>(s.DataBits);
        dcb.Parity = static_cast<BYTE>(s.Parity);
        dcb.StopBits = static_cast<BYTE>(s.StopBits);
        dcb.XonChar = s.XonChar;
        dcb.XoffChar = s.XoffChar;
        dcb.EvtChar = s.EventChar;
        dcb.ErrorChar = s.ErrorChar;
        if (!SetCommState(h, &dcb))
            return static_cast<int>(GetLastError());
        return 0;
    }

    int DoSetTimeouts(const TComTimeoutSettings& t) override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        COMMTIMEOUTS ct{t.ReadInterval, t.ReadTotalMultiplier, t.ReadTotalConstant,
                        t.WriteTotalMultiplier, t.WriteTotalConstant};
        if (!SetCommTimeouts(h, &ct))
            return static_cast<int>(GetLastError());
        std::lock_guard lock(timeoutsMutex_);
        timeouts_ = t;
        return 0;
    }

    int DoSetQueues(int inputSize, int outputSize) override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        if (!SetupComm(h, static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize)))
            return static_cast<int>(GetLastError());
        inputSize_ = std::max(0, inputSize);
        return 0;
    }

private:
    static bool IsUnsupported(DWORD error) {
        return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
    }

    TComTimeoutSettings Timeouts() {
        std::lock_guard lock(timeoutsMutex_);
        return timeouts_;
    }

    int Status(DWORD& errors, COMSTAT& stat) {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        if (!ClearCommError(h, &errors, &stat))
            return static_cast<int>(GetLastError());
        return 0;
    }

    // One overlapped read or write, waited for; a call that outlives `limit` is cancelled
    // and counts what it moved. A timeout (error 1460) is not a failure: the count tells.
    int Overlapped(HANDLE h, bool write, void* buffer, int count, DWORD limit, DWORD& done) {
        done = 0;
        TAsyncIo async;
        if (!async.Io.hEvent)
            return static_cast<int>(GetLastError());
        DWORD size = static_cast<DWORD>(std::max(count, 0));
        BOOL ok = write ? WriteFile(h, buffer, size, nullptr, &async.Io)
                        : ReadFile(h, buffer, size, nullptr, &async.Io);
        if (!ok && GetLastError() != ERROR_IO_PENDING)
            return static_cast<int>(GetLastError());
        if (WaitForSingleObject(async.Io.hEvent, limit) != WAIT_OBJECT_0) {
            CancelIoEx(h, &async.Io);
            // The record must not go away while the system may still write to it.
            GetOverlappedResult(h, &async.Io, &done, TRUE);
            return 0;
        }
        if (!GetOverlappedResult(h, &async.Io, &done, FALSE)) {
            DWORD error = GetLastError();
            return error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED
                       ? 0
                       : static_cast<int>(error);
        }
        return 0;
    }

    int Arm(HANDLE h, unsigned mask) {
        unsigned want = noModemEvents_ ? mask & ~kModemEventBits : mask;
        if (want == armed_)
            return 0;
        if (!SetCommMask(h, want))
            return static_cast<int>(GetLastError());
        armed_ = want;
        return 0;
    }

    // Starts the device wait and sleeps until it ends or the stop event is set; 0 with the
    // event bits, or the error that ended the wait.
    int WaitOnce(HANDLE h, DWORD& got) {
        got = 0;
        waitMask_ = 0;
        ResetEvent(waitIo_.hEvent);
        if (WaitCommEvent(h, &waitMask_, &waitIo_)) {
            got = waitMask_;
            return 0;
        }
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return static_cast<int>(error);
        HANDLE handles[2] = {stopEvent_, waitIo_.hEvent};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            // Stopping: the new mask ends the device wait; make sure before leaving it.
            SetCommMask(h, 0);
            WaitForSingleObject(waitIo_.hEvent, kHungSlackMs);
            return 0;
        }
        if (r != WAIT_OBJECT_0 + 1)
            return static_cast<int>(GetLastError());
        DWORD n = 0;
        if (!GetOverlappedResult(h, &waitIo_, &n, FALSE))
            return static_cast<int>(GetLastError());
        got = waitMask_;
        return 0;
    }

    // What a wait that ended empty may have missed: new bytes in the input queue, and the
    // output queue running empty after a write.
    unsigned Polled(HANDLE h, unsigned mask) {
        COMSTAT stat{};
        DWORD errors = 0;
        if (!ClearCommError(h, &errors, &stat))
            return 0;
        unsigned events = 0;
        long inQueue = static_cast<long>(stat.cbInQue);
        bool read = readSinceCheck_.exchange(false);
        if (inQueue > 0 && (inQueue != lastInQueue_ || read))
            events |= EvRxCharBit;
        lastInQueue_ = inQueue;
        if (txPending_ && stat.cbOutQue == 0) {
            txPending_ = false;
            events |= EvTxEmptyBit;
        }
        // Taken from the device here, kept for the next LastErrors.
        keptErrors_ |= errors;
        if (errors & (CeFrame | CeOverrun | CeRxParity | CeRxOver))
            events |= EvErrBit;
        if (errors & CeBreak)
            events |= EvBreakBit;
        return events & mask;
    }

    std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
    HANDLE stopEvent_ = nullptr;
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> txPending_{false};
    std::atomic<bool> readSinceCheck_{false};
    std::atomic<unsigned> keptErrors_{0};
    std::atomic<int> inputSize_{1024};
    std::mutex timeoutsMutex_;
    TComTimeoutSettings timeouts_;
    // Event thread only.
    OVERLAPPED waitIo_{};
    DWORD waitMask_ = 0;
    unsigned armed_ = 0;
    bool noModemEvents_ = false;
    std::atomic<long> lastInQueue_{0};
};

} // namespace

const int ComClosedPortError = ERROR_INVALID_HANDLE;

std::unique_ptr<TComBackend> CreateComBackend() {
    return std::make_unique<Win32Backend>();
}
