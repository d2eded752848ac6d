// Port facts on Windows. The registry's port list gives names only, no USB facts, so the
// device info stays empty; whether another program holds a port is learnt only by opening it.
#include "serial/ComPortInfo.h"
#include "serial/win32/ComDevice.h"

ComPortDeviceInfo GetComPortDeviceInfo(const std::string&, const std::string&) {
    return {};
}

bool ComPortBusy(const std::string& port) {
    // Same open as the component's: a port is exclusive, and a holder makes it fail with
    // access denied. Windows has no lock table to look at instead, so this open briefly
    // raises DTR on a free port, as any terminal program listing ports would.
    HANDLE h = OpenComDevice(port);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(h);
    return false;
}

bool ComPortBusyOpensPort() {
    return true;
}

std::vector<ComPortHolder> ComPortHolders(const std::string&, const std::string&) {
    // Windows tells that a port is taken (ComPortBusy), not by which process.
    return {};
}

std::vector<std::vector<ComPortHolder>> ComPortHolders(const std::vector<std::string>& ports,
                                                       const std::string&) {
    return std::vector<std::vector<ComPortHolder>>(ports.size());
}
