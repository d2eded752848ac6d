#pragma once
// What the flasher needs from the operating system besides the serial port: the terminal, the
// interrupt key and a wait that the port threads can cut short. One file per system
// (posix/, win32/).
#include <cstdio>
#include <string>
#include <vector>

namespace flashplatform {

// Before the first output: a Windows console is switched to UTF-8 (restored at exit).
void PrepareConsole();

// True when `stream` goes to a terminal (live progress lines), false for a pipe or a file.
bool IsTerminal(std::FILE* stream);
// Width of the terminal behind standard output; 80 when it cannot be told.
int TerminalColumns();

// Ctrl-C, a polite kill, a closed terminal or console, log-off and shut-down set a flag and wake
// the main loop instead of ending the program, so the ports can be closed first.
void WatchInterrupt();
bool InterruptRequested();

// Any thread: makes WaitForWake return.
void WakeMainLoop();
// Main thread: returns after `milliseconds`, or sooner once woken or interrupted.
void WaitForWake(int milliseconds);

// Whether the port at `path` ("ttyUSB0" or a path) leads to a USB serial adapter, a USB modem
// (ACM) or a pseudo-terminal: where --all looks for boards. Windows cannot tell a USB port
// from a built-in one by its name: every port counts there.
bool IsBoardAdapter(const std::string& path);
// The serial ports among the entries of `folder` (such as /dev/serial/by-path), as paths.
// `errorCode`: 0, or the system's code when the folder cannot be read (missing, a file).
std::vector<std::string> PortsInFolder(const std::string& folder, int& errorCode);

} // namespace flashplatform
