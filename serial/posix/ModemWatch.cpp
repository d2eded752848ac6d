#include "serial/posix/ModemWatch.h"

#include "serial/ComBackend.h"

#include <cerrno>
#include <chrono>
#include <csignal>

#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>

namespace {

// TIOCMIWAIT sleeps until a line changes and ends early only for a signal: this one, with a
// handler that does nothing and no restart, wakes the watch when the port closes.
int WakeSignal() {
    return SIGRTMIN + 3;
}

void Nothing(int) {}

bool WakeSignalReady() {
    static const bool ready = [] {
        struct sigaction old {};
        if (sigaction(WakeSignal(), nullptr, &old) != 0)
            return false;
        if (old.sa_handler == Nothing)
            return true;
        if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO))
            return false; // the program uses it for something else: no line events then
        struct sigaction act {};
        act.sa_handler = Nothing;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0; // no SA_RESTART: the wait must return
        return sigaction(WakeSignal(), &act, nullptr) == 0;
    }();
    return ready;
}

// The kernel's counters where the driver keeps them; otherwise counted here from the levels.
struct LineReader {
    int fd = -1;
    bool counters = true;
    int levels = 0;
    TModemLineCounts counts;

    bool Read(TModemLineCounts& out) {
        if (counters) {
            serial_icounter_struct ic{};
            if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
                out = {ic.cts, ic.dsr, ic.dcd, ic.rng};
                return true;
            }
            counters = false;
            if (ioctl(fd, TIOCMGET, &levels) < 0)
                return false;
        }
        int now = 0;
        if (ioctl(fd, TIOCMGET, &now) < 0)
            return false;
        int moved = now ^ levels;
        levels = now;
        counts.Cts += (moved & TIOCM_CTS) != 0;
        counts.Dsr += (moved & TIOCM_DSR) != 0;
        counts.Rlsd += (moved & TIOCM_CAR) != 0;
        counts.Ring += (moved & TIOCM_RNG) != 0;
        out = counts;
        return true;
    }
};

} // namespace

unsigned ModemLineEvents(const TModemLineCounts& was, const TModemLineCounts& now) {
    return (now.Cts != was.Cts ? EvCtsBit : 0) | (now.Dsr != was.Dsr ? EvDsrBit : 0) |
           (now.Rlsd != was.Rlsd ? EvRlsdBit : 0) | (now.Ring != was.Ring ? EvRingBit : 0);
}

void TModemWatch::Start(int fd, std::function<void(unsigned)> changed) {
    std::lock_guard lock(mutex_);
    if (stopped_ || tried_)
        return;
    tried_ = true;
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) < 0 || !WakeSignalReady())
        return; // no modem lines to watch
    changed_ = std::move(changed);
    running_ = true;
    thread_ = std::thread([this, fd] { Run(fd); });
}

void TModemWatch::Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (!thread_.joinable())
        return;
    stop_ = true;
    // A signal sent just before the thread enters its wait is lost: send until it has left.
    while (running_) {
        pthread_kill(thread_.native_handle(), WakeSignal());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
}

void TModemWatch::Run(int fd) {
    LineReader reader;
    reader.fd = fd;
    TModemLineCounts was;
    if (reader.Read(was)) {
        while (!stop_) {
            if (ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) < 0 &&
                errno != EINTR)
                break; // the device went away or cannot tell: the watch ends
            TModemLineCounts now;
            if (stop_ || !reader.Read(now))
                break;
            if (unsigned events = ModemLineEvents(was, now))
                changed_(events);
            was = now;
        }
    }
    running_ = false;
}
