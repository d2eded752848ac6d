#pragma once
// What the system knows about a serial port's device, for a tooltip in the port selector and
// a line of `quorvel-flash --list`. Plain C++; nothing here opens the port.
#include <string>

struct ComPortDeviceInfo {
    std::string Driver, Manufacturer, Product, SerialNumber, VendorId, ProductId;
    int LatencyTimerMs = -1; // the adapter's receive latency timer, -1 when it has none
};

// What the system says about port `port` ("ttyUSB0" or a /dev path), read under ttyClassDir.
// Every field is empty (and the timer -1) where nothing is known, as for a pseudo-terminal.
ComPortDeviceInfo GetComPortDeviceInfo(const std::string& port,
                                       const std::string& ttyClassDir = "/sys/class/tty");
// The facts as one short text for a tooltip or a list line; empty when nothing is known.
std::string DescribeComPort(const ComPortDeviceInfo& info);
// True when another program holds the port: tries the component's own lock and lets it go at
// once.
bool ComPortBusy(const std::string& port);
