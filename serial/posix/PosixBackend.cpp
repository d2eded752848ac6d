// The termios implementation of the port backend. Only kernel headers for termios: glibc's
// <termios.h> cannot express rates without a B constant, so termios2 is used throughout.
#include "serial/ComBackend.h"
#include "serial/ComBackendCounts.h"
#include "serial/net/NetAddress.h"
#include "serial/net/NetBackend.h"
#include "serial/posix/ModemWatch.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool IsGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}
// A pseudo-terminal or a bridge without modem lines or counters answers so.
bool IsUnsupported(int error) {
    return error == ENOTTY || error == EINVAL;
}

speed_t SpeedConstant(int baud) {
    struct Entry {
        int baud;
        speed_t code;
    };
    static const Entry table[] = {
        {50, B50},         {75, B75},         {110, B110},        {134, B134},
        {150, B150},       {200, B200},       {300, B300},        {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const Entry& e : table)
        if (e.baud == baud)
            return e.code;
    return BOTHER;
}

// The character frame: data bits, stop bits, parity.
tcflag_t FrameFlags(const TComLineSettings& s) {
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t cflag = sizes[s.DataBits - 5];
    if (s.StopBits != sbOneStopBit)
        cflag |= CSTOPB;
    switch (s.Parity) {
    case prNone:
        break;
    case prOdd:
        cflag |= PARENB | PARODD;
        break;
    case prEven:
        cflag |= PARENB;
        break;
    case prMark:
        cflag |= PARENB | CMSPAR | PARODD;
        break;
    case prSpace:
        cflag |= PARENB | CMSPAR;
        break;
    }
    return cflag;
}

// CBAUD and CIBAUD start cleared; a rate without a B constant goes as BOTHER both ways.
tcflag_t SpeedFlags(int baud) {
    speed_t code = SpeedConstant(baud);
    return code == BOTHER ? BOTHER | (BOTHER << IBSHIFT) : code;
}

// Raw mode with the settings' frame, rate, flow control and characters; the driver's line
// discipline (c_line) is kept.
void FillTermios(termios2& t, const TComLineSettings& s, int vmin) {
    t.c_iflag =
        (s.ParityCheck ? INPCK : IGNPAR) | (s.XonXoffOut ? IXON : 0) | (s.XonXoffIn ? IXOFF : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | HUPCL | FrameFlags(s) | SpeedFlags(s.BaudRate);
    if (s.OutCTSFlow || s.ControlRTS == rtsHandshake)
        t.c_cflag |= CRTSCTS;
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(s.BaudRate);
    std::fill(std::begin(t.c_cc), std::end(t.c_cc), 0);
    t.c_cc[VMIN] = static_cast<cc_t>(vmin);
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
}

// DTR and RTS as the settings say; a device without them (a pseudo-terminal) is fine.
int SetOutputLines(int fd, const TComLineSettings& s) {
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (ioctl(fd, s.ControlDTR == dtrDisable ? TIOCMBIC : TIOCMBIS, &dtr) < 0 &&
        !IsUnsupported(errno))
        return errno;
    bool rtsHigh = s.ControlRTS == rtsEnable || s.ControlRTS == rtsHandshake;
    if (ioctl(fd, rtsHigh ? TIOCMBIS : TIOCMBIC, &rts) < 0 && !IsUnsupported(errno))
        return errno;
    return 0;
}

const unsigned rxMask = EvRxCharBit | EvRxFlagBit | EvErrBit | EvBreakBit | EvRx80FullBit;
const unsigned lineMask = EvCtsBit | EvDsrBit | EvRlsdBit | EvRingBit;

// USB adapters hold received bytes until their latency timer runs out (often 16 ms), and
// every frame of an update waits for an answer. A driver that refuses low latency (a
// pseudo-terminal, most drivers but FTDI's) costs nothing. True when this call switched it on.
bool RequestLowLatency(int fd) {
    ++ComBackendCounts().LowLatencyRequests;
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) < 0)
        return false;
    if (ss.flags & ASYNC_LOW_LATENCY) {
        ++ComBackendCounts().LowLatencyGranted;
        return false;
    }
    ss.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) < 0)
        return false;
    ++ComBackendCounts().LowLatencyGranted;
    return true;
}

// The driver's mode as it was before this program asked.
void RestoreLatency(int fd) {
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
}

class PosixBackend final : public TComBackend {
public:
    ~PosixBackend() override { Close(); }

    void Close() override {
        // The watch uses the descriptor: it ends before the descriptor does.
        modemWatch_.Stop();
        int fd = fd_.exchange(-1);
        if (fd < 0)
            return;
        if (lowLatencySet_)
            RestoreLatency(fd);
        // Unsent bytes at a low rate would hold close() for many seconds.
        ioctl(fd, TCFLSH, TCIOFLUSH);
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
        ::close(fd);
        ::close(wakeFd_);
        wakeFd_ = -1;
    }

    int Read(void* buffer, int count, int& got) override {
        got = 0;
        if (fd_ < 0)
            return EBADF;
        auto* out = static_cast<char*>(buffer);
        std::lock_guard lock(rxMutex_);
        while (got < count) {
            if (rxHead_ == rxTail_) {
                int rc = Refill(true);
                // Bytes already taken are handed over; a failure shows at the next call.
                if (rc != 0 && got == 0)
                    return rc;
                if (rc != 0 || rxHead_ == rxTail_)
                    break;
            }
            size_t take = std::min<size_t>(rxTail_ - rxHead_, static_cast<size_t>(count - got));
            std::copy_n(rxBuf_ + rxHead_, take, out + got);
            rxHead_ += take;
            got += static_cast<int>(take);
        }
        return 0;
    }

    int Write(const void* buffer, int count, int& sent) override {
        sent = 0;
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        const auto deadline = WriteDeadline(timeouts_, count);
        const auto* p = static_cast<const char*>(buffer);
        int error = 0;
        while (sent < count) {
            ssize_t n = ::write(fd, p + sent, static_cast<size_t>(count - sent));
            if (n > 0) {
                sent += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                error = Failed(errno);
                break;
            }
            const int waitMs = PollMsUntil(deadline);
            if (waitMs == 0)
                break;
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, waitMs) < 0 && errno != EINTR) {
                error = errno;
                break;
            }
            if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                error = Failed(EIO);
                break;
            }
        }
        if (sent > 0) {
            txPending_ = true;
            // Only a thread that reports the queue running dry has to look at it.
            if (waitMask_ & EvTxEmptyBit)
                Wake();
        }
        return error;
    }

    // Served from the receive buffer while it holds bytes and was filled within the last
    // 100 microseconds: the byte-at-a-time pattern then costs no system call per byte,
    // and a count of 0 is always fresh.
    int InputCount(int& count) override {
        count = 0;
        if (fd_ < 0)
            return EBADF;
        std::lock_guard lock(rxMutex_);
        if (rxHead_ == rxTail_ || Clock::now() - refilled_ > std::chrono::microseconds(100))
            if (int rc = Refill(true))
                return rc;
        count = static_cast<int>(rxTail_ - rxHead_) + kernelPending_;
        return 0;
    }
    int OutputCount(int& count) override { return Query(TIOCOUTQ, count); }

    int Purge(bool input, bool output) override {
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        if (!input && !output)
            return 0;
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        std::lock_guard lock(rxMutex_);
        if (ioctl(fd, TCFLSH, which) < 0)
            return Failed(errno);
        if (input) {
            rxHead_ = rxTail_ = 0;
            kernelPending_ = 0;
            purged_ = true;
            if (vminHigh_)
                Wake();
        }
        return 0;
    }

    int ModemStatus(unsigned& lines) override {
        lines = 0;
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) < 0)
            return IsUnsupported(errno) ? 0 : Failed(errno);
        lines = (bits & TIOCM_CTS ? MsCtsOn : 0) | (bits & TIOCM_DSR ? MsDsrOn : 0) |
                (bits & TIOCM_RNG ? MsRingOn : 0) | (bits & TIOCM_CAR ? MsRlsdOn : 0);
        return 0;
    }

    int TakeErrors(unsigned& errors) override {
        errors = 0;
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        // A device that went away reports one I/O error, then fails like any other call.
        if (hung_ && !ioeReported_.exchange(true)) {
            errors = CeIoe;
            return 0;
        }
        if (!icountSupported_) {
            int count;
            return Query(FIONREAD, count);
        }
        serial_icounter_struct now{};
        if (ioctl(fd, TIOCGICOUNT, &now) < 0)
            return Failed(errno);
        errors = ErrorBits(errIcount_, now);
        errIcount_ = now;
        return 0;
    }

    int SetEventMask(unsigned mask) override {
        waitMask_ = mask;
        return 0;
    }

    int WaitEvent(unsigned mask, unsigned& events) override {
        events = 0;
        for (;;) {
            if (interrupted_)
                return 0;
            int fd = fd_;
            if (fd < 0)
                return EBADF;
            if (hung_) {
                // Nothing more will come from the device: sleep until told to stop.
                if (int rc = WaitWake(-1))
                    return rc;
                continue;
            }
            WaitPlan plan;
            if (int rc = Collect(fd, mask, plan))
                return Gone(rc, mask, events);
            if (plan.ready & mask) {
                events = plan.ready & mask;
                // Handing the events over, not asleep: the next round counts afresh.
                watching_ = false;
                return 0;
            }
            if (int rc = Sleep(fd, plan))
                return Gone(rc, mask, events);
        }
    }

    void Interrupt() override {
        interrupted_ = true;
        Wake();
        modemWatch_.Stop();
    }

protected:
    int DoOpen(const std::string& port) override {
        std::string path = !port.empty() && port[0] == '/' ? port : "/dev/" + port;
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (fd.Get() < 0)
            return errno;
        // The lock comes first: a port another program holds must not have its settings
        // touched. Root ignores TIOCEXCL, so the lock is what keeps two of us apart.
        if (flock(fd.Get(), LOCK_EX | LOCK_NB) < 0)
            return errno;
        UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (wake.Get() < 0)
            return errno;
        if (ioctl(fd.Get(), TIOCEXCL) < 0 && !IsUnsupported(errno))
            return errno;
        lowLatencySet_ = RequestLowLatency(fd.Get());
        serial_icounter_struct now{};
        icountSupported_ = ioctl(fd.Get(), TIOCGICOUNT, &now) == 0;
        errIcount_ = eventIcount_ = now;
        wakeFd_ = wake.Release();
        fd_ = fd.Release();
        return 0;
    }

    int DoSetLine(const TComLineSettings& s) override {
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        if (s.BaudRate <= 0 || s.DataBits < 5 || s.DataBits > 8)
            return EINVAL;
        std::lock_guard lock(termiosMutex_);
        termios2 t{};
        if (ioctl(fd, TCGETS2, &t) < 0)
            return Failed(errno);
        FillTermios(t, s, vmin_);
        if (ioctl(fd, TCSETS2, &t) < 0)
            return Failed(errno);
        eventChar_ = static_cast<unsigned char>(s.EventChar);
        baud_ = s.BaudRate;
        if (int rc = SetOutputLines(fd, s))
            return Failed(rc);
        return 0;
    }

    int DoSetTimeouts(const TComTimeoutSettings& t) override {
        timeouts_ = t;
        return fd_ < 0 ? EBADF : 0;
    }

    int DoSetQueues(int inputSize, int) override {
        inputSize_ = std::max(1, inputSize);
        return fd_ < 0 ? EBADF : 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    // One round of the event thread's wait: the events found, and what to sleep on if none.
    struct WaitPlan {
        unsigned ready = 0;
        short want = 0;     // poll() events on the device
        int timeoutMs = -1; // look again by then at the latest
        void LookAgainWithin(int ms) { timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms); }
    };

    // What the device has for the wait now. An error is the device's.
    int Collect(int fd, unsigned mask, WaitPlan& plan) {
        waitMask_ = mask;
        if (txPending_.exchange(false) && (mask & EvTxEmptyBit))
            txWatch_ = true;
        if (mask & lineMask) {
            modemWatch_.Start(fd, [this](unsigned events) {
                lineEvents_ |= events;
                Wake();
            });
            plan.ready |= lineEvents_.exchange(0);
        }
        if (mask & rxMask)
            if (int rc = CollectReceived(mask, plan))
                return rc;
        return txWatch_ ? CollectTxEmpty(plan) : 0;
    }

    struct Arrivals {
        int inKernel = 0;    // still in the driver
        uint64_t pulled = 0; // taken from the driver since open
        size_t buffered = 0; // taken and not yet read
    };

    int CollectReceived(unsigned mask, WaitPlan& plan) {
        // From here on a read on the main thread must wake us to re-arm.
        vminHigh_ = true;
        Arrivals now;
        if (int rc = CountArrivals(mask, now))
            return rc;
        // Every byte that ever arrived was either taken from the driver or is still there:
        // this count only grows, so "new bytes" is exact.
        uint64_t arrived = now.pulled + uint64_t(now.inKernel);
        uint64_t known = lastArrived_ > now.pulled ? lastArrived_ - now.pulled : 0;
        if (arrived > lastArrived_) {
            lastArrived_ = arrived;
            plan.ready |= EvRxCharBit | LineEvents();
            if ((int64_t(now.buffered) + now.inKernel) * 5 >= int64_t(inputSize_) * 4)
                plan.ready |= EvRx80FullBit;
        } else if (known < 255) {
            // poll() on a tty is level-triggered: with VMIN above the bytes already reported
            // it wakes only when new ones arrive.
            if (int rc = SetVmin(static_cast<int>(known) + 1))
                return rc;
            plan.want |= POLLIN;
        } else {
            plan.LookAgainWithin(20); // VMIN tops out at 255
        }
        vminHigh_ = vmin_ > 1;
        if (rxFlag_.exchange(false))
            plan.ready |= EvRxFlagBit;
        return 0;
    }

    int CountArrivals(unsigned mask, Arrivals& now) {
        // Set before the count: a read after it must wake us, one before it is counted.
        watching_ = true;
        std::lock_guard lock(rxMutex_);
        if (int rc = Query(FIONREAD, now.inKernel))
            return rc;
        if (purged_) {
            purged_ = false;
            lastArrived_ = pulled_;
        }
        // The event character is found in the bytes as they arrive, so they are taken from
        // the driver here rather than when the program reads them (after the purge mark,
        // which must not count them as old).
        if ((mask & EvRxFlagBit) && now.inKernel > 0) {
            if (int rc = Refill(false))
                return rc;
            now.inKernel = kernelPending_;
        }
        now.pulled = pulled_;
        now.buffered = rxTail_ - rxHead_;
        return 0;
    }

    int CollectTxEmpty(WaitPlan& plan) {
        int queued = 0;
        if (int rc = Query(TIOCOUTQ, queued))
            return rc;
        if (queued == 0) {
            txWatch_ = false;
            plan.ready |= EvTxEmptyBit;
            return 0;
        }
        // Wake when the queue should have drained at the line rate.
        int ms = static_cast<int>(int64_t(queued) * 10000 / std::max(1, baud_.load()));
        plan.LookAgainWithin(std::clamp(ms + 1, 1, 100));
        return 0;
    }

    // Until the device has what the plan waits for, its time is up or the thread is woken.
    int Sleep(int fd, const WaitPlan& plan) {
        pollfd pfd[2] = {{fd, plan.want, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(pfd, 2, plan.timeoutMs) < 0)
            return errno == EINTR ? 0 : errno;
        if (pfd[1].revents & POLLIN)
            DrainWake();
        if (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return EIO;
        return 0;
    }

    // Takes what the driver holds into the receive buffer (rxMutex_ held). The event thread
    // filling for itself needs no wake-up.
    int Refill(bool wake) {
        if (rxHead_ == rxTail_)
            rxHead_ = rxTail_ = 0;
        else if (rxHead_ > 0) {
            std::copy(rxBuf_ + rxHead_, rxBuf_ + rxTail_, rxBuf_);
            rxTail_ -= rxHead_;
            rxHead_ = 0;
        }
        refilled_ = Clock::now();
        if (rxTail_ == sizeof rxBuf_)
            return Query(FIONREAD, kernelPending_);
        ssize_t n;
        do
            n = ::read(fd_, rxBuf_ + rxTail_, sizeof rxBuf_ - rxTail_);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN)
                return Failed(errno);
            kernelPending_ = 0;
            return 0;
        }
        if (n == 0) // a non-blocking tty reads 0 only once it has hung up
            return Failed(EIO);
        if (std::memchr(rxBuf_ + rxTail_, eventChar_.load(), static_cast<size_t>(n)))
            rxFlag_ = true;
        rxTail_ += static_cast<size_t>(n);
        pulled_ += static_cast<uint64_t>(n);
        kernelPending_ = 0;
        if (rxTail_ == sizeof rxBuf_)
            if (int rc = Query(FIONREAD, kernelPending_))
                return rc;
        // The event thread's VMIN counted these bytes as still in the driver; and a thread
        // asleep in poll() for new bytes may have been woken for these only to find them gone
        // (taken here first), so it would sleep on with them unreported. While it hands its
        // events over it is not asleep, and its next count sees these.
        if (wake && watching_)
            Wake();
        return 0;
    }

    int Query(unsigned long request, int& value) {
        value = 0;
        int fd = fd_;
        if (fd < 0)
            return EBADF;
        if (ioctl(fd, request, &value) < 0)
            return Failed(errno);
        return 0;
    }

    int Failed(int error) {
        if (IsGone(error))
            hung_ = true;
        return error;
    }

    // The device went away while waiting: report it once, then stay quiet.
    int Gone(int error, unsigned mask, unsigned& events) {
        if (!IsGone(error))
            return error;
        hung_ = true;
        events = mask & EvErrBit;
        return 0;
    }

    int SetVmin(int vmin) {
        if (vmin == vmin_)
            return 0;
        std::lock_guard lock(termiosMutex_);
        termios2 t{};
        if (ioctl(fd_, TCGETS2, &t) < 0)
            return Failed(errno);
        t.c_cc[VMIN] = static_cast<cc_t>(vmin);
        if (ioctl(fd_, TCSETS2, &t) < 0)
            return Failed(errno);
        vmin_ = vmin;
        return 0;
    }

    unsigned LineEvents() {
        if (!icountSupported_)
            return 0;
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) < 0)
            return 0;
        unsigned bits = ErrorBits(eventIcount_, now);
        eventIcount_ = now;
        return (bits & (CeFrame | CeOverrun | CeRxParity | CeRxOver) ? EvErrBit : 0) |
               (bits & CeBreak ? EvBreakBit : 0);
    }

    static unsigned ErrorBits(const serial_icounter_struct& was,
                              const serial_icounter_struct& now) {
        return (now.frame != was.frame ? CeFrame : 0) |
               (now.overrun != was.overrun ? CeOverrun : 0) |
               (now.parity != was.parity ? CeRxParity : 0) | (now.brk != was.brk ? CeBreak : 0) |
               (now.buf_overrun != was.buf_overrun ? CeRxOver : 0);
    }

    void Wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    void DrainWake() {
        uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
    }

    int WaitWake(int timeoutMs) {
        pollfd pfd{wakeFd_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) < 0 && errno != EINTR)
            return errno;
        if (pfd.revents & POLLIN)
            DrainWake();
        return 0;
    }

    std::atomic<int> fd_{-1};
    int wakeFd_ = -1;
    std::mutex termiosMutex_; // the event thread re-arms VMIN while settings may change
    std::atomic<int> vmin_{1};
    std::atomic<int> baud_{9600};
    std::atomic<int> inputSize_{1024};
    TComTimeoutSettings timeouts_;
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> hung_{false};
    std::atomic<bool> ioeReported_{false};
    std::atomic<bool> txPending_{false};
    std::atomic<unsigned> waitMask_{~0u}; // the event thread's mask; every event until it waits
    std::atomic<bool> vminHigh_{false};
    // The event thread counts arrivals or sleeps on them (not handing events over).
    std::atomic<bool> watching_{true};
    std::atomic<int> eventChar_{0};
    std::atomic<bool> rxFlag_{false}; // the event character came since the last report
    std::atomic<unsigned> lineEvents_{0};
    TModemWatch modemWatch_;
    bool lowLatencySet_ = false;
    // Receive buffer, shared by whichever thread reads and the event thread's count.
    std::mutex rxMutex_;
    char rxBuf_[4096];
    size_t rxHead_ = 0, rxTail_ = 0;
    int kernelPending_ = 0; // left in the driver by the last fill
    uint64_t pulled_ = 0;   // bytes taken from the driver since open
    bool purged_ = false;   // the input was discarded since the event thread looked
    Clock::time_point refilled_;
    uint64_t lastArrived_ = 0; // event thread: bytes that had arrived at the last report
    bool txWatch_ = false;
    bool icountSupported_ = false;
    serial_icounter_struct errIcount_{};   // main thread
    serial_icounter_struct eventIcount_{}; // event thread
};

} // namespace

const int ComClosedPortError = EBADF;

std::unique_ptr<TComBackend> CreateComBackend(const std::string& port) {
    if (IsNetPortName(port))
        return CreateNetComBackend();
    return std::make_unique<PosixBackend>();
}
