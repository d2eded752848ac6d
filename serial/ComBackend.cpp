#include "serial/ComBackend.h"

#include "serial/ComBackendCounts.h"

TComBackendCounts& ComBackendCounts() {
    static TComBackendCounts counts;
    return counts;
}

int TComBackend::Open(const std::string& port) {
    ++ComBackendCounts().Opens;
    return DoOpen(port);
}

int TComBackend::SetLine(const TComLineSettings& s) {
    ++ComBackendCounts().LineUpdates;
    return DoSetLine(s);
}

int TComBackend::SetTimeouts(const TComTimeoutSettings& t) {
    ++ComBackendCounts().TimeoutUpdates;
    return DoSetTimeouts(t);
}

int TComBackend::SetQueues(int inputSize, int outputSize) {
    ++ComBackendCounts().QueueUpdates;
    return DoSetQueues(inputSize, outputSize);
}
