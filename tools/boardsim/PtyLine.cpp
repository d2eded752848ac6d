#include "tools/boardsim/PtyLine.h"

#include "framework/Exception.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace boardsim {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw Exception(std::string(what) + ": " + std::strerror(errno));
}

} // namespace

PtyLine::PtyLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0)
        Fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name))
        Fail("pseudo-terminal slave");
    slavePath_ = name;

    termios raw{};
    if (tcgetattr(master_, &raw) != 0)
        Fail("tcgetattr");
    cfmakeraw(&raw);
    if (tcsetattr(master_, TCSANOW, &raw) != 0)
        Fail("tcsetattr");

    ownSlave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ownSlave_ < 0)
        Fail(name);
    if (tcgetattr(ownSlave_, &raw) != 0)
        Fail("tcgetattr");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    if (tcsetattr(ownSlave_, TCSANOW, &raw) != 0)
        Fail("tcsetattr");
}

PtyLine::~PtyLine() {
    HangUp();
}

int PtyLine::LineBaud() const {
    return master_ < 0 ? 0 : TerminalBaud(master_);
}

size_t PtyLine::Read(uint8_t* buffer, size_t size) {
    if (master_ < 0)
        return 0;
    ssize_t n = read(master_, buffer, size);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t PtyLine::Write(const uint8_t* data, size_t length) {
    if (master_ < 0)
        return 0;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(master_, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // nobody reads the port and its buffer is full: the bytes are lost
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t PtyLine::UnreadByClient() const {
    int count = 0;
    if (ownSlave_ < 0 || ioctl(ownSlave_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<size_t>(count);
}

void PtyLine::HangUp() {
    if (ownSlave_ >= 0)
        close(ownSlave_);
    if (master_ >= 0)
        close(master_);
    ownSlave_ = master_ = -1;
}

} // namespace boardsim
