#pragma once
// The update controller's line on a port of the serial component: what the window and the
// terminal flasher drive their updates through.
#include "serial/ComPort.h"
#include "updater/UpdateLine.h"

#include <string>

class ComPortLine : public UpdateLine {
public:
    explicit ComPortLine(TCustomComPort& port) : port_(port) {}
    void SetBaudRate(int baud) override;
    int InputCount() override;
    int Read(void* buffer, int count) override;
    int Write(const void* buffer, int count) override;
    int WriteStr(const std::string& text) override;
    void ClearBuffer(bool input, bool output) override;

private:
    TCustomComPort& port_;
};
