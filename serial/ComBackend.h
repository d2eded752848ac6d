#pragma once
// The seam between the port component and the operating system. The component speaks in the
// serial line's terms; one implementation per platform (serial/posix/ for termios, serial/win32/).
// Every call returns 0 or the platform's error number and never throws.
#include "serial/ComTypes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <string>

// Device event bits, as the event thread reports them (the classic comm-event values).
inline constexpr unsigned EvRxCharBit = 0x0001, EvRxFlagBit = 0x0002, EvTxEmptyBit = 0x0004,
                          EvCtsBit = 0x0008, EvDsrBit = 0x0010, EvRlsdBit = 0x0020,
                          EvBreakBit = 0x0040, EvErrBit = 0x0080, EvRingBit = 0x0100,
                          EvRx80FullBit = 0x0400;
// Modem input line bits.
inline constexpr unsigned MsCtsOn = 0x10, MsDsrOn = 0x20, MsRingOn = 0x40, MsRlsdOn = 0x80;
// Line error bits.
inline constexpr unsigned CeRxOver = 0x0001, CeOverrun = 0x0002, CeRxParity = 0x0004,
                          CeFrame = 0x0008, CeBreak = 0x0010, CeTxFull = 0x0100, CeIoe = 0x0400,
                          CeMode = 0x8000;

struct TComLineSettings {
    int BaudRate = 9600;
    int DataBits = 8; // 5 to 8
    TParityBits Parity = prNone;
    bool ParityCheck = false;
    TStopBits StopBits = sbOneStopBit;
    bool DiscardNull = false;
    char EventChar = 0;
    bool OutCTSFlow = false;
    bool OutDSRFlow = false;
    TDTRFlowControl ControlDTR = dtrDisable;
    TRTSFlowControl ControlRTS = rtsDisable;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    char XonChar = 17;
    char XoffChar = 19;
    bool DSRSensitivity = false;
    bool TxContinueOnXoff = false;
    bool ReplaceErrors = false; // parity errors become ErrorChar (with ParityCheck)
    char ErrorChar = 0;
};

struct TComTimeoutSettings {
    // Milliseconds as unsigned 32-bit values; 0xFFFFFFFF is "infinite" where it applies.
    uint32_t ReadInterval = 0xFFFFFFFF;
    uint32_t ReadTotalMultiplier = 0;
    uint32_t ReadTotalConstant = 0;
    uint32_t WriteTotalMultiplier = 100;
    uint32_t WriteTotalConstant = 1000;
};

// When a write of `count` bytes must be over by the write timeouts; max() when it may take as
// long as it takes (both values 0).
inline std::chrono::steady_clock::time_point WriteDeadline(const TComTimeoutSettings& t,
                                                           int count) {
    if (t.WriteTotalMultiplier == 0 && t.WriteTotalConstant == 0)
        return std::chrono::steady_clock::time_point::max();
    const uint64_t totalMs =
        uint64_t(t.WriteTotalMultiplier) * uint64_t(count) + t.WriteTotalConstant;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
}

// The wait left until `deadline` as poll() takes it: -1 for none, 0 once it has passed.
inline int PollMsUntil(std::chrono::steady_clock::time_point deadline) {
    if (deadline == std::chrono::steady_clock::time_point::max())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

class TComBackend {
public:
    virtual ~TComBackend() = default;

    // Counted (serial/ComBackendCounts.h), then handed to the platform's implementation.
    int Open(const std::string& port);
    int SetLine(const TComLineSettings& s);
    int SetTimeouts(const TComTimeoutSettings& t);
    int SetQueues(int inputSize, int outputSize);

    // Releases the device. Unsent bytes are gone by then (the abort and the event thread's
    // purge on Windows; the backend itself elsewhere), so closing never waits on a slow line.
    virtual void Close() = 0;
    // Ends the reads and writes still pending on the device (closing). Systems whose reads and
    // writes are never left pending have nothing to do.
    virtual int AbortIo() { return 0; }
    // Returns at once with what has arrived, possibly nothing.
    virtual int Read(void* buffer, int count, int& got) = 0;
    // Waits as the write timeouts allow; `sent` tells how much left.
    virtual int Write(const void* buffer, int count, int& sent) = 0;
    virtual int InputCount(int& count) = 0;
    virtual int OutputCount(int& count) = 0;
    virtual int Purge(bool input, bool output) = 0;
    virtual int ModemStatus(unsigned& lines) = 0;
    // The line errors since the previous call (Ce* bits).
    virtual int TakeErrors(unsigned& errors) = 0;

    // The device's event mask: set before the event thread starts and cleared (0) as it ends.
    // Systems that take the mask with each wait have nothing to do.
    virtual int SetEventMask(unsigned) { return 0; }
    // Event thread: blocks until one of the Ev* bits in `mask` happens or Interrupt is called
    // (then `events` is 0). Never wakes while nothing happens.
    virtual int WaitEvent(unsigned mask, unsigned& events) = 0;
    // Any thread: ends the current and every later WaitEvent at once.
    virtual void Interrupt() = 0;

protected:
    virtual int DoOpen(const std::string& port) = 0;
    virtual int DoSetLine(const TComLineSettings& s) = 0;
    virtual int DoSetTimeouts(const TComTimeoutSettings& t) = 0;
    virtual int DoSetQueues(int inputSize, int outputSize) = 0;
};

// The implementation for the port's name: the platform's serial device, or a network port.
std::unique_ptr<TComBackend> CreateComBackend(const std::string& port);
// A network port whose host name the resolver does not know. Winsock's own number for it, so
// both systems report it alike; no errno has this value.
inline constexpr int ComHostNotFoundError = 11001;
// A network port over TLS whose server failed a check, or a build without TLS. Numbers with
// Windows' bit for application-defined codes, which neither system uses for its own errors.
inline constexpr int ComTlsExpiredError = 0x20000001, // the server's certificate expired
    ComTlsWrongNameError = 0x20000002,                // issued to another host name
    ComTlsUnknownIssuerError = 0x20000003,            // by an authority nobody trusts here
    ComTlsCertRequiredError = 0x20000004,             // the server wants a client certificate
    ComTlsCertRefusedError = 0x20000005,              // and did not take ours
    ComTlsHandshakeError = 0x20000006,                // anything else (not a TLS server?)
    ComTlsFilesError = 0x20000007,       // the URL's CA file, certificate or key cannot be used
    ComTlsUnavailableError = 0x20000008; // this build has no TLS
// The platform's error for a call on a port that is not open (EBADF, ERROR_INVALID_HANDLE).
extern const int ComClosedPortError;
