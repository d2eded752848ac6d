#include "flash/Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace flashplatform {

namespace {

std::atomic<bool> interrupted{false};
// A wake-up already in the pipe and not yet taken: a port thread need not write another (with
// dozens of boards each answer byte would otherwise cost a write and a read).
std::atomic<bool> wakePending{false};

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
    // A closed terminal (SIGHUP) or Ctrl-\ ends the run as Ctrl-C does: records written.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    // A reader that went away (| head) costs the output, not the records.
    signal(SIGPIPE, SIG_IGN);
}

bool InterruptRequested() {
    return interrupted;
}

void WakeMainLoop() {
    if (wakePending.exchange(true))
        return;
    char b = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = write(Pipe().Write, &b, 1);
}

void WaitForWake(int milliseconds) {
    pollfd p{Pipe().Read, POLLIN, 0};
    if (poll(&p, 1, milliseconds < 0 ? 0 : milliseconds) > 0) {
        // Cleared after the drain: a thread that found it still set handed its work over
        // before that, and the caller looks at the handed-over work after this returns.
        char drain[64];
        [[maybe_unused]] ssize_t n = read(Pipe().Read, drain, sizeof drain);
        wakePending = false;
    }
}

bool IsBoardAdapter(const std::string& path) {
    std::string full = !path.empty() && path[0] == '/' ? path : "/dev/" + path;
    struct stat st;
    if (stat(full.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    if (major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143)
        return true; // a virtual port
    char real[PATH_MAX];
    if (!realpath(full.c_str(), real))
        return false;
    std::string name = real;
    name = name.substr(name.find_last_of('/') + 1);
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

std::vector<std::string> PortsInFolder(const std::string& folder, int& errorCode) {
    std::vector<std::string> ports;
    DIR* dir = opendir(folder.c_str());
    errorCode = dir ? 0 : errno;
    if (dir) {
        while (dirent* e = readdir(dir)) {
            std::string path = folder + "/" + e->d_name;
            struct stat st;
            if (e->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
                ports.push_back(path);
        }
        closedir(dir);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace flashplatform
