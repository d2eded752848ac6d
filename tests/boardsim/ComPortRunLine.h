#pragma once
// The update's line through the updater's own serial port component: speed changes, purge and
// write on TComPort, received bytes delivered by its event thread to the main thread and read
// one at a time into the reply parser, as the window does. The port is any name TComPort opens.
#include "UpdateRun.h"
#include "framework/Sync.h"
#include "serial/ComPort.h"

#include <condition_variable>
#include <mutex>

class ComPortRunLine {
public:
    ComPortRunLine(const std::string& path, updaterun::Replies& replies) {
        Sync::SetMainThread();
        Sync::SetWakeMainThread([this] {
            std::lock_guard lock(mutex_);
            woken_ = true;
            wake_.notify_one();
        });
        port_.SetPort(path);
        port_.OnRxChar = [this, &replies](TComponent*, int) {
            uint8_t b;
            while (port_.InputCount() != 0) {
                port_.Read(&b, 1);
                ParseReplyByte(b, replies);
            }
        };
        try {
            port_.Open();
        } catch (...) {
            // No destructor runs for a line that never opened.
            Sync::SetWakeMainThread(nullptr);
            throw;
        }
    }
    ~ComPortRunLine() {
        port_.Close();
        Sync::SetWakeMainThread(nullptr);
    }
    void SetBaud(int baud) { port_.SetBaudRate(baud == 9600 ? br9600 : br19200); }
    void WriteText(const std::string& text) { port_.WriteStr(text); }
    void ClearBuffer(bool input, bool output) { port_.ClearBuffer(input, output); }
    void Write(const void* data, int length) { port_.Write(data, length); }

    // The main thread's share of the event thread's hand-over, until `done` or the limit.
    bool Pump(const std::function<bool()>& done, updaterun::Limit limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            Sync::CheckSynchronize();
            if (done())
                return true;
            std::unique_lock lock(mutex_);
            if (!wake_.wait_until(lock, end, [this] { return woken_; }))
                return false;
            woken_ = false;
        }
    }

private:
    TComPort port_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
};
