#pragma once
// --verbose: every frame written to a port and every answer read from it, one line each with
// the time, so a bench's trouble can be read afterwards byte by byte.
#include "serial/ComPort.h"

#include <cstdio>
#include <string>

class PortTrace {
public:
    // Hooks into `com` until destroyed; `port` is the name the lines carry.
    PortTrace(TCustomComPort& com, std::string port, std::FILE* out);
    ~PortTrace();
    PortTrace(const PortTrace&) = delete;
    PortTrace& operator=(const PortTrace&) = delete;

    // The answers read during the receive event that has just ended.
    void ReceiveEnded();

private:
    void Line(const char* direction, const void* bytes, int count);
    void TakeReceived();

    TCustomComPort& com_;
    std::string port_;
    std::FILE* out_;
    TComLink link_;
    std::string received_; // answer bytes read in this receive event, traced at its end
};
