#include "updater/ComPortLine.h"

#include "updater/BoardContract.h"

void ComPortLine::SetBaudRate(int baud) {
    // The port's own constants: its stored settings and the selector list keep to them.
    port_.SetBaudRate(baud == BoardContract::NormalFirmwareBaud ? br9600 : br19200);
}

int ComPortLine::InputCount() {
    return port_.InputCount();
}

int ComPortLine::Read(void* buffer, int count) {
    return port_.Read(buffer, count);
}

int ComPortLine::Write(const void* buffer, int count) {
    return port_.Write(buffer, count);
}

int ComPortLine::WriteStr(const std::string& text) {
    return port_.WriteStr(text);
}

void ComPortLine::ClearBuffer(bool input, bool output) {
    port_.ClearBuffer(input, output);
}
