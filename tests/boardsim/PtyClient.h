#pragma once
// The updater's end of the cable in tests: the slave of the simulator's pseudo-terminal,
// raw, at a chosen speed.
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class PtyClient {
public:
    explicit PtyClient(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~PtyClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    void SetBaud(int baud) {
        termios t{};
        tcgetattr(fd_, &t);
        speed_t s = baud == 9600 ? B9600 : baud == 19200 ? B19200 : B38400;
        cfsetispeed(&t, s);
        cfsetospeed(&t, s);
        tcsetattr(fd_, TCSANOW, &t);
    }

    void Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                WaitFor(POLLOUT, std::chrono::milliseconds(100));
        }
    }

    // Reads until `count` bytes have come, the line hangs up, or `limit` has passed.
    std::string Read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && !hungUp_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            short ev = WaitFor(POLLIN, left);
            char buffer[256];
            ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.append(buffer, static_cast<size_t>(n));
            else if (ev & (POLLHUP | POLLERR))
                hungUp_ = true;
        }
        return got;
    }

    // Everything until the other end goes away (for runs that end by themselves).
    std::string ReadUntilHangUp(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return Read(SIZE_MAX, limit);
    }
    bool HungUp() const { return hungUp_; }

private:
    short WaitFor(short events, std::chrono::milliseconds limit) {
        pollfd p{fd_, events, 0};
        poll(&p, 1, static_cast<int>(limit.count()));
        return p.revents;
    }

    int fd_ = -1;
    bool hungUp_ = false;
};
