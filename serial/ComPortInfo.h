#pragma once
// What the system knows about a serial port's device, for a tooltip in the port selector and
// a line of `quorvel-flash --list`. Plain C++; nothing here opens the port.
#include <string>
#include <vector>

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
// True where ComPortBusy can only tell by opening the port (Windows has no lock table to
// read). Opening raises DTR on many drivers, which resets a board another program owns, so a
// plain listing does not ask there.
bool ComPortBusyOpensPort();

// A process that holds a port, and how: it has the device open, holds the component's lock
// on it, has put it in exclusive mode, or owns a UUCP lock file naming it.
struct ComPortHolder {
    enum THow { hoOpen, hoLock, hoExclusive, hoLockFile };
    int Pid = 0; // 0 when the system says the port is held but not by whom
    std::string Name;
    THow How = hoOpen;
};

// Who holds port `port` besides this process, the way fuser finds out: open files under /proc
// (every process as root, one's own otherwise), /proc/locks, the exclusive-mode flag and a
// lock file LCK..<name> in `lockDir` whose process is alive. Empty when nobody does or the
// system cannot tell (Windows names no holder; ComPortBusy tells whether there is one).
std::vector<ComPortHolder> ComPortHolders(const std::string& port,
                                          const std::string& lockDir = "/var/lock");
// The same for several ports, one list each in their order, with one look through /proc for
// all of them (a look reads every descriptor of every process).
std::vector<std::vector<ComPortHolder>> ComPortHolders(const std::vector<std::string>& ports,
                                                       const std::string& lockDir = "/var/lock");
