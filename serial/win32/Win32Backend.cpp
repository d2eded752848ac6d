// The Win32 implementation of the port backend: overlapped I/O on "\\.\" + port, with the
// device event wait (WaitCommEvent) and a stop event for the event thread. Where Wine differs
// from Windows the work-around sits behind RunningUnderWine(); docs/windows.md lists them.
#include "serial/ComBackend.h"
#include "serial/net/NetAddress.h"
#include "serial/win32/ComDevice.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

// A device wait that keeps ending with nothing to report must not turn the thread into a busy
// loop: after a few such wakes it sleeps between rounds, at most this long.
constexpr DWORD kEmptyWakeSleepMaxMs = 20;
// Under Wine: slack on top of the timeouts' own limit before an overlapped call is ended.
constexpr DWORD kWineSlackMs = 2000;

constexpr unsigned kModemEventBits = EvCtsBit | EvDsrBit | EvRlsdBit | EvRingBit;

HANDLE SystemOpen(const std::string& port) {
    std::string name = "\\\\.\\" + port;
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

std::atomic<ComDeviceOpener> deviceOpener{SystemOpen};

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

// Under Wine, how long an overlapped read or write may take before it is ended as the
// timeouts would have ended it; INFINITE when they ask to wait for ever.
DWORD WineLimit(DWORD multiplier, DWORD constant, int count) {
    if ((multiplier == 0 && constant == 0) || multiplier == MAXDWORD || constant == MAXDWORD)
        return INFINITE;
    uint64_t ms = uint64_t(multiplier) * uint64_t(std::max(count, 0)) + constant + kWineSlackMs;
    return static_cast<DWORD>(std::min<uint64_t>(ms, INFINITE - 1));
}

class Win32Backend final : public TComBackend {
public:
    Win32Backend() {
        stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        waitIo_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    }

    ~Win32Backend() override {
        // Closing the handle ends a device wait still pending on the record below; the system
        // may write to it until that end is complete.
        Close();
        if (waitPending_ && waitIo_.hEvent)
            WaitForSingleObject(waitIo_.hEvent, kWineSlackMs);
        if (waitIo_.hEvent)
            CloseHandle(waitIo_.hEvent);
        if (stopEvent_)
            CloseHandle(stopEvent_);
    }

    void Close() override {
        HANDLE h = handle_.exchange(INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }

    int AbortIo() override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        // Wine takes the abort flags for clearing the queues, which would rob a dispatch still
        // queued for the main thread of its bytes; the component leaves nothing pending anyway.
        if (wine_)
            return 0;
        if (!PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT))
            return static_cast<int>(GetLastError());
        return 0;
    }

    int Read(void* buffer, int count, int& got) override {
        got = 0;
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        DWORD limit = INFINITE;
        if (wine_) {
            TComTimeoutSettings t = Timeouts();
            if (t.ReadInterval == MAXDWORD && t.ReadTotalMultiplier == 0 &&
                t.ReadTotalConstant == 0) {
                // "Return at once with what is there": Wine leaves such a read pending on an
                // empty queue, so it is only started for bytes that are already waiting.
                COMSTAT stat{};
                DWORD errors = 0;
                if (int rc = Status(errors, stat))
                    return rc;
                keptErrors_ |= errors; // taken here, still news for LastErrors
                if (stat.cbInQue == 0)
                    return 0;
                count = std::min(count, static_cast<int>(stat.cbInQue));
                limit = kWineSlackMs;
            } else {
                // Interval MAXDWORD with a total constant never completes under Wine either.
                limit = WineLimit(t.ReadTotalMultiplier == MAXDWORD ? 0 : t.ReadTotalMultiplier,
                                  t.ReadTotalConstant, count);
            }
        }
        DWORD n = 0;
        int rc = Overlapped(h, false, buffer, count, limit, n);
        got = static_cast<int>(n);
        ++queueEpoch_; // after the queue changed: the event thread's next look counts anew
        return rc;
    }

    int Write(const void* buffer, int count, int& sent) override {
        sent = 0;
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        DWORD limit = INFINITE;
        if (wine_) {
            // As for reads, Wine's end of an overlapped write on a pseudo-terminal is not
            // trusted: a far end that stops reading must not hold the write for ever.
            TComTimeoutSettings t = Timeouts();
            limit = WineLimit(t.WriteTotalMultiplier, t.WriteTotalConstant, count);
        }
        DWORD n = 0;
        int rc = Overlapped(h, true, const_cast<void*>(buffer), count, limit, n);
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
        if (!PurgeComm(h, flags))
            return static_cast<int>(GetLastError());
        ++queueEpoch_;
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
            // Wine on a pseudo-terminal, which has no modem lines: they read as off.
            return wine_ && IsUnsupported(error) ? 0 : static_cast<int>(error);
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

    int SetEventMask(unsigned mask) override {
        HANDLE h = handle_;
        if (h == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
        if (!SetCommMask(h, mask))
            return static_cast<int>(GetLastError());
        armed_ = mask;
        return 0;
    }

    int WaitEvent(unsigned mask, unsigned& events) override {
        events = 0;
        for (unsigned emptyWakes = 0;;) {
            if (interrupted_)
                return 0;
            HANDLE h = handle_;
            if (h == INVALID_HANDLE_VALUE)
                return ERROR_INVALID_HANDLE;
            DWORD got = 0, error = 0;
            switch (WaitOnce(h, got, error)) {
            case WaitEnd::Stopped:
                return 0;
            case WaitEnd::Failed:
                return static_cast<int>(error);
            case WaitEnd::Events:
                if (got & armed_) {
                    events = got;
                    lastInQueue_ = -1; // reported: the next count is news again
                    return 0;
                }
                break;
            case WaitEnd::NoResult:
                // A device that cannot watch modem lines fails every wait that asks for them;
                // it is watched for the rest.
                if ((error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) &&
                    (armed_ & kModemEventBits) && SetEventMask(armed_ & ~kModemEventBits) == 0)
                    continue;
                break;
            }
            // The wait ended with nothing to say (some virtual and USB serial drivers do, and
            // Wine on a device without modem lines always): look at the queues ourselves.
            events = Polled(h, mask);
            if (events)
                return 0;
            if (++emptyWakes > 2) {
                DWORD ms =
                    std::min<DWORD>(1u << std::min(emptyWakes - 3, 5u), kEmptyWakeSleepMaxMs);
                if (WaitForSingleObject(stopEvent_, ms) == WAIT_OBJECT_0)
                    return 0;
            }
        }
    }

    void Interrupt() override {
        interrupted_ = true;
        SetEvent(stopEvent_);
        Sleep(0); // lets the event thread see it at once
    }

protected:
    int DoOpen(const std::string& port) override {
        if (!stopEvent_ || !waitIo_.hEvent)
            return static_cast<int>(GetLastError());
        // Network ports over TLS need OpenSSL, which this build does not have.
        if (TNetAddress address; ParseNetAddress(port, address) && address.Tls)
            return ComTlsUnavailableError;
        HANDLE h = OpenComDevice(port);
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
    enum class WaitEnd { Events, NoResult, Stopped, Failed };

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

    // One overlapped read or write, waited for. Only under Wine is there a `limit`: a call that
    // outlives it is cancelled and counts what it moved, as the timeout would have ended it.
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
        DWORD w = WaitForSingleObject(async.Io.hEvent, limit);
        if (w == WAIT_TIMEOUT) {
            CancelIoEx(h, &async.Io);
            // The record must not go away while the system may still write to it.
            GetOverlappedResult(h, &async.Io, &done, TRUE);
            return 0;
        }
        if (w != WAIT_OBJECT_0)
            return static_cast<int>(GetLastError());
        if (!GetOverlappedResult(h, &async.Io, &done, FALSE))
            return static_cast<int>(GetLastError());
        return 0;
    }

    // Starts the device wait and sleeps until it ends or the stop event is set.
    WaitEnd WaitOnce(HANDLE h, DWORD& got, DWORD& error) {
        got = 0;
        waitMask_ = 0;
        ResetEvent(waitIo_.hEvent);
        if (!WaitCommEvent(h, &waitMask_, &waitIo_) && GetLastError() != ERROR_IO_PENDING) {
            error = GetLastError();
            return WaitEnd::NoResult;
        }
        waitPending_ = true;
        HANDLE handles[2] = {stopEvent_, waitIo_.hEvent};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0)
            return WaitEnd::Stopped; // the thread's clean-up clears the mask, which ends the wait
        if (r != WAIT_OBJECT_0 + 1) {
            error = GetLastError();
            return WaitEnd::Failed;
        }
        waitPending_ = false;
        DWORD n = 0;
        if (!GetOverlappedResult(h, &waitIo_, &n, FALSE)) {
            error = GetLastError();
            return WaitEnd::NoResult; // that dispatch is skipped; the thread goes on
        }
        got = waitMask_;
        return WaitEnd::Events;
    }

    // What a wait that ended without events may have missed: bytes in the input queue that
    // were not reported yet, the output queue running empty after a write, line errors.
    unsigned Polled(HANDLE h, unsigned mask) {
        // Taken before the look: a read or purge that lands meanwhile changes it, so the next
        // look reports whatever is waiting then instead of taking it for bytes already told.
        unsigned epoch = queueEpoch_;
        COMSTAT stat{};
        DWORD errors = 0;
        if (!ClearCommError(h, &errors, &stat))
            return 0;
        unsigned events = 0;
        long inQueue = static_cast<long>(stat.cbInQue);
        // Only a read or a purge makes the queue shorter, so a longer queue holds new bytes.
        if (inQueue > 0 && (inQueue > lastInQueue_ || epoch != lastEpoch_))
            events |= EvRxCharBit;
        lastInQueue_ = inQueue;
        lastEpoch_ = epoch;
        if (txPending_ && stat.cbOutQue == 0) {
            txPending_ = false;
            events |= EvTxEmptyBit;
        }
        keptErrors_ |= errors; // taken from the device here, kept for the next LastErrors
        if (errors & (CeFrame | CeOverrun | CeRxParity | CeRxOver))
            events |= EvErrBit;
        if (errors & CeBreak)
            events |= EvBreakBit;
        return events & mask;
    }

    const bool wine_ = RunningUnderWine();
    std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
    HANDLE stopEvent_ = nullptr;
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> txPending_{false};
    std::atomic<unsigned> queueEpoch_{0};
    std::atomic<unsigned> keptErrors_{0};
    std::atomic<int> inputSize_{1024};
    std::mutex timeoutsMutex_;
    TComTimeoutSettings timeouts_;
    // Event thread only (the mask also from the constructor of the thread, before it runs).
    OVERLAPPED waitIo_{};
    DWORD waitMask_ = 0;
    unsigned armed_ = 0;
    bool waitPending_ = false;
    long lastInQueue_ = 0;
    unsigned lastEpoch_ = 0;
};

} // namespace

HANDLE OpenComDevice(const std::string& port) {
    return deviceOpener.load()(port);
}

ComDeviceOpener SetComDeviceOpener(ComDeviceOpener opener) {
    return deviceOpener.exchange(opener ? opener : SystemOpen);
}

bool RunningUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

const int ComClosedPortError = ERROR_INVALID_HANDLE;

std::unique_ptr<TComBackend> CreateComBackend(const std::string&) {
    return std::make_unique<Win32Backend>();
}
