#pragma once
// Pumping the main thread's hand-over queue in tests that have no message loop.
#include "framework/Sync.h"

#include <chrono>
#include <functional>
#include <thread>

// Runs main-thread routines (the port's events) until `done` holds; false after `limit`.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Sync::CheckSynchronize();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs main-thread routines for a while, to show that something does not happen.
inline void PumpFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
}
