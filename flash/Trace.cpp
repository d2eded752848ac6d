#include "flash/Trace.h"

#include "flash/Printable.h"
#include "updater/UpdateLog.h"

#include <chrono>
#include <utility>

PortTrace::PortTrace(TCustomComPort& com, std::string port, std::FILE* out)
    : com_(com), port_(std::move(port)), out_(out) {
    link_.TxBufHandler = [this](TComponent*, const void* bytes, int count) {
        // An answer read in this event goes first: the frame written now is its consequence.
        TakeReceived();
        Line(">", bytes, count);
    };
    com_.RegisterLink(&link_);
    com_.OnReadTrace = [this](TComponent*, const void* bytes, int count) {
        received_.append(static_cast<const char*>(bytes), static_cast<size_t>(count));
    };
}

PortTrace::~PortTrace() {
    com_.OnReadTrace = nullptr;
    com_.UnRegisterLink(&link_);
}

void PortTrace::ReceiveEnded() {
    TakeReceived();
}

void PortTrace::TakeReceived() {
    if (received_.empty())
        return;
    Line("<", received_.data(), static_cast<int>(received_.size()));
    received_.clear();
}

void PortTrace::Line(const char* direction, const void* bytes, int count) {
    // Text as it is, every other byte (the scrambled frame body) in hex.
    std::string shown;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (int i = 0; i < count; ++i) {
        char hex[8];
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '\\') {
            shown += static_cast<char>(p[i]);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", p[i]);
            shown += hex;
        }
    }
    const std::string now = Iso8601UtcMs(std::chrono::system_clock::now());
    std::fprintf(out_, "%s %s %s %s (%d)\n", now.c_str(), Printable(port_).c_str(), direction,
                 shown.c_str(), count);
}
