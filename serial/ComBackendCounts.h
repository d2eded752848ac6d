#pragma once
// How often the component reached the device, counted so a test can prove that each changed
// setting costs exactly one device update. Kept by the backend's bookkeeping
// (serial/ComBackend.cpp, the posix backend's low-latency request); read only by tests.
#include <atomic>

struct TComBackendCounts {
    std::atomic<int> Opens{0};
    std::atomic<int> LineUpdates{0};
    std::atomic<int> TimeoutUpdates{0};
    std::atomic<int> QueueUpdates{0};
    // Low-latency mode asked of the driver at open, and how often it agreed.
    std::atomic<int> LowLatencyRequests{0};
    std::atomic<int> LowLatencyGranted{0};
    void Reset() {
        Opens = LineUpdates = TimeoutUpdates = QueueUpdates = 0;
        LowLatencyRequests = LowLatencyGranted = 0;
    }
};
TComBackendCounts& ComBackendCounts();
