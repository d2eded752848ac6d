// Kernel termios2 headers only: glibc's <termios.h> cannot show custom rates.
#include "tests/support/Pty.h"

#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    slavePath_ = name;
    // Raw, so bytes pass unchanged (on a master the settings are the slave's).
    termios2 t{};
    ioctl(master_, TCGETS2, &t);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    ioctl(master_, TCSETS2, &t);
}

Pty::~Pty() {
    CloseMaster();
}

void Pty::CloseMaster() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void Pty::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            throw std::runtime_error("master write failed");
        }
    }
}

std::string Pty::Receive(size_t count) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            out += Take();
    }
    return out;
}

std::string Pty::Take() {
    std::string out;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

int Pty::Pending() {
    int n = 0;
    ioctl(master_, FIONREAD, &n);
    return n;
}

int Pty::SlaveSpeed() {
    termios2 t{};
    ioctl(master_, TCGETS2, &t);
    return static_cast<int>(t.c_ospeed);
}

bool Pty::SlaveUsesCustomRate() {
    termios2 t{};
    ioctl(master_, TCGETS2, &t);
    return (t.c_cflag & CBAUD) == BOTHER;
}
