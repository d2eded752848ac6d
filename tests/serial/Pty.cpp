// Kernel termios2 headers only: glibc's <termios.h> cannot show custom rates.
#include "Pty.h"

#include "framework/Sync.h"

#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    slavePath_ = name;
    // Raw master so bytes pass unchanged.
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
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("master write failed");
        if (n > 0)
            done += static_cast<size_t>(n);
    }
}

std::string Pty::Receive(size_t count) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
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

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Sync::CheckSynchronize();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void PumpFor(std::chrono::milliseconds span) {
    auto deadline = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < deadline) {
        Sync::CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
