#pragma once
// The controller's side of the serial line: the port component in the programs; a simulated
// line on a virtual clock in the transfer simulation.
#include "serial/ComPort.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

class UpdateLine {
public:
    virtual ~UpdateLine() = default;
    virtual void SetBaudRate(TBaudRate rate) = 0;
    virtual int InputCount() = 0;
    virtual int Read(void* buffer, int count) = 0;
    virtual int Write(const void* buffer, int count) = 0;
    virtual int WriteStr(const std::string& text) = 0;
    virtual void ClearBuffer(bool input, bool output) = 0;
    // The calendar time in whole seconds that seeds each frame's random bytes.
    virtual std::time_t CalendarSeconds() { return std::time(nullptr); }
    // A steady clock in milliseconds: how late the answers come.
    virtual int64_t SteadyMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

class ComPortLine : public UpdateLine {
public:
    explicit ComPortLine(TCustomComPort& port) : port_(port) {}
    void SetBaudRate(TBaudRate rate) override { port_.SetBaudRate(rate); }
    int InputCount() override { return port_.InputCount(); }
    int Read(void* buffer, int count) override { return port_.Read(buffer, count); }
    int Write(const void* buffer, int count) override { return port_.Write(buffer, count); }
    int WriteStr(const std::string& text) override { return port_.WriteStr(text); }
    void ClearBuffer(bool input, bool output) override { port_.ClearBuffer(input, output); }

private:
    TCustomComPort& port_;
};
