#pragma once
// Modem input line changes (CTS, DSR, RLSD, ring) from the driver: TIOCMIWAIT blocks until a
// line changes, so it gets a thread of its own, started only while such events are asked for.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

// How often each line has changed (ring: indications) since some start.
struct TModemLineCounts {
    int Cts = 0, Dsr = 0, Rlsd = 0, Ring = 0;
};

// The device event bits (Ev*) for the lines whose counts moved between two readings.
unsigned ModemLineEvents(const TModemLineCounts& was, const TModemLineCounts& now);

class TModemWatch {
public:
    ~TModemWatch() { Stop(); }

    // Watches `fd` and hands every change to `changed` (on the watch's thread). Does nothing
    // when the device has no modem lines (a pseudo-terminal), once tried, or after Stop.
    void Start(int fd, std::function<void(unsigned events)> changed);
    // Ends the watch at once and waits for its thread; no later Start takes effect.
    void Stop();

private:
    void Run(int fd);

    std::mutex mutex_;
    bool stopped_ = false;
    bool tried_ = false; // once per open: a device without modem lines is asked only once
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::function<void(unsigned)> changed_;
};
