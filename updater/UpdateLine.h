#pragma once
// The controller's side of the serial line: the port component in the programs (ComPortLine);
// a simulated line on a virtual clock in the transfer simulation.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

class UpdateLine {
public:
    virtual ~UpdateLine() = default;
    // Only the board's two speeds (BoardContract) are asked for.
    virtual void SetBaudRate(int baud) = 0;
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
