#include "flash/Platform.h"

#include <atomic>
#include <cstdlib>
#include <io.h>
#include <windows.h>

namespace flashplatform {

namespace {

std::atomic<bool> interrupted{false};

// Auto-reset: one wake-up per SetEvent, however many threads asked for it.
HANDLE WakeEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Runs on a thread the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD kind) {
    const bool closing =
        kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT;
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && !closing)
        return FALSE;
    interrupted = true;
    SetEvent(WakeEvent());
    // Closing the console window, logging off or shutting down ends the process as soon as
    // this returns; waiting here gives the main loop its time (the system allows 5 s) to close
    // the ports and log.
    if (closing)
        Sleep(5000);
    return TRUE;
}

UINT savedOutputCodePage = 0;

void RestoreOutputCodePage() {
    SetConsoleOutputCP(savedOutputCodePage);
}

} // namespace

void PrepareConsole() {
    // The texts are UTF-8; a console shows them right only in that code page. The user's
    // console gets its own back at exit.
    if (UINT current = GetConsoleOutputCP(); current != 0 && current != CP_UTF8) {
        if (SetConsoleOutputCP(CP_UTF8)) {
            savedOutputCodePage = current;
            std::atexit(RestoreOutputCodePage);
        }
    }
}

bool IsTerminal(std::FILE* stream) {
    int fd = _fileno(stream);
    if (fd < 0 || !_isatty(fd))
        return false; // _isatty is also true for NUL and serial devices
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode))
        return false;
    // Live lines redraw with escape sequences; a console that cannot take them gets plain
    // lines instead.
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 0)
            return width;
    }
    return 80;
}

void WatchInterrupt() {
    WakeEvent(); // made before the handler can need it
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRequested() {
    return interrupted;
}

void WakeMainLoop() {
    SetEvent(WakeEvent());
}

void WaitForWake(int milliseconds) {
    WaitForSingleObject(WakeEvent(), milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds));
}

bool IsBoardAdapter(const std::string&) {
    return true;
}

std::vector<std::string> PortsInFolder(const std::string&, int& errorCode) {
    errorCode = ERROR_NOT_SUPPORTED; // Windows names ports, not device files
    return {};
}

} // namespace flashplatform
