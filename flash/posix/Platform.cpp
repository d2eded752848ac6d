#include "flash/Platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace flashplatform {

namespace {

std::atomic<bool> interrupted{false};

// A self-pipe: the port threads and the signal handler write a byte, the main loop polls.
struct WakePipe {
    int Read = -1, Write = -1;
    WakePipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            Read = fds[0];
            Write = fds[1];
        }
    }
};

WakePipe& Pipe() {
    static WakePipe pipe;
    return pipe;
}

void OnInterrupt(int) {
    interrupted = true;
    char b = 1;
    [[maybe_unused]] ssize_t n = write(Pipe().Write, &b, 1);
}

} // namespace

void PrepareConsole() {
    // Terminals here take the program's UTF-8 as it is.
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void WatchInterrupt() {
    Pipe(); // made before the handler can need it
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() {
    return interrupted;
}

void WakeMainLoop() {
    char b = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = write(Pipe().Write, &b, 1);
}

void WaitForWake(int milliseconds) {
    pollfd p{Pipe().Read, POLLIN, 0};
    if (poll(&p, 1, milliseconds < 0 ? 0 : milliseconds) > 0) {
        char drain[64];
        while (read(Pipe().Read, drain, sizeof drain) > 0) {
        }
    }
}

PortErrorKind ClassifyPortError(int code) {
    switch (code) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF: // the descriptor of a device that hung up
        return PortErrorKind::Gone;
    case EBUSY:
    case EAGAIN: // the lock another program holds
        return PortErrorKind::InUse;
    case ENOENT:
    case ENOTDIR:
        return PortErrorKind::NotFound;
    case EACCES:
    case EPERM:
        return PortErrorKind::NoPermission;
    default:
        return PortErrorKind::Other;
    }
}

} // namespace flashplatform
