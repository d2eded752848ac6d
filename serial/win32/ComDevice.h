#pragma once
// How the serial layer opens a port's device on Windows: "\\.\" + port, read and write,
// exclusive, overlapped. The component's open and the port list's busy check both come here,
// so a test can stand in for a device Wine cannot play (a port another program holds).
#include <string>

#include <windows.h>

// INVALID_HANDLE_VALUE with the last error set when the device cannot be opened.
using ComDeviceOpener = HANDLE (*)(const std::string& port);
HANDLE OpenComDevice(const std::string& port);
// nullptr puts the system's open back; returns the opener that was in place.
ComDeviceOpener SetComDeviceOpener(ComDeviceOpener opener);

// True when running under Wine: only its known differences from Windows look at this.
bool RunningUnderWine();
