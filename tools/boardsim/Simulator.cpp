#include "tools/boardsim/Simulator.h"

#include "framework/Exception.h"
#include "tools/boardsim/LineGarble.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace boardsim {

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), board_(options_.Board) {
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd_ < 0)
        throw Exception(std::string("eventfd: ") + std::strerror(errno));
}

Simulator::~Simulator() {
    close(stopFd_);
}

void Simulator::Stop() {
    const uint64_t one = 1;
    ssize_t ignored = write(stopFd_, &one, sizeof one);
    (void)ignored;
}

Simulator::Clock::duration Simulator::ByteTime(int baud) const {
    if (!options_.Pace || baud <= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(PtyLine::ByteSeconds(baud)));
}

Simulator::End Simulator::Run() {
    lastTraffic_ = Clock::now();
    const auto idleLimit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.IdleTimeoutSeconds));
    for (;;) {
        Clock::time_point now = Clock::now();
        DeliverDue(now);
        WriteDue(now);
        if (sending_.empty()) {
            const bool hangUp = board_.CurrentMode() == Board::Mode::HungUp;
            const bool done = options_.ExitWhenDone && board_.Stats().Completions > 0;
            if ((hangUp || done) && ClientHasRead(now)) {
                line_.HangUp();
                return hangUp ? End::HungUp : End::Done;
            }
        }

        std::optional<Clock::time_point> wake;
        auto earliest = [&wake](Clock::time_point t) {
            if (!wake || t < *wake)
                wake = t;
        };
        if (!received_.empty())
            earliest(received_.front().Due);
        if (!sending_.empty())
            earliest(sending_.front().Due);
        if (closeBy_) // the client gives no sign when it reads: look again shortly
            earliest(std::min(*closeBy_, now + std::chrono::milliseconds(10)));
        if (options_.IdleTimeoutSeconds > 0) {
            if (now - lastTraffic_ >= idleLimit)
                return End::IdleTimeout;
            earliest(lastTraffic_ + idleLimit);
        }

        timespec timeout{};
        if (wake) {
            auto left = std::max(Clock::duration::zero(), *wake - now);
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = ns / 1000000000;
            timeout.tv_nsec = ns % 1000000000;
        }
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {line_.MasterFd(), POLLIN, 0}};
        int ready = ppoll(fds, 2, wake ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            throw Exception(std::string("poll: ") + std::strerror(errno));
        if (ready > 0 && fds[0].revents)
            return End::Stopped;
        if (ready > 0 && fds[1].revents && !ReadLine(Clock::now()) &&
            (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            // Our own slave descriptor keeps the master from hanging up when the client
            // closes, so this is the pseudo-terminal itself failing: stop rather than spin.
            throw Exception("the pseudo-terminal has hung up");
    }
}

bool Simulator::ClientHasRead(Clock::time_point now) {
    // Closing the master discards what the client has not read yet; let the last answer
    // reach it first, as it would have reached the PC before the unplug or power-off. The
    // kernel hands written bytes to the slave a little later, so an empty slave queue only
    // counts once that has surely happened. A client that reads nothing gets a second.
    if (!closeBy_)
        closeBy_ = now + std::chrono::seconds(1);
    const bool settled = now - lastTraffic_ >= std::chrono::milliseconds(100);
    return (settled && line_.UnreadByClient() == 0) || now >= *closeBy_;
}

bool Simulator::ReadLine(Clock::time_point now) {
    uint8_t buffer[4096];
    const int baud = line_.LineBaud();
    size_t n;
    bool any = false;
    while ((n = line_.Read(buffer, sizeof buffer)) > 0) {
        any = true;
        for (size_t i = 0; i < n; ++i) {
            Clock::time_point due = now;
            if (options_.Pace) {
                rxFree_ = std::max(rxFree_, now) + ByteTime(baud);
                due = rxFree_;
            }
            if (!received_.empty() && received_.back().Due == due && received_.back().Baud == baud)
                received_.back().Bytes.push_back(static_cast<char>(buffer[i]));
            else
                received_.push_back({std::string(1, static_cast<char>(buffer[i])), baud, due});
        }
    }
    if (any)
        lastTraffic_ = now;
    return any;
}

void Simulator::DeliverDue(Clock::time_point now) {
    while (!received_.empty() && received_.front().Due <= now) {
        Pending bytes = std::move(received_.front());
        received_.pop_front();
        // Consecutive due bytes of one speed reach the board together.
        while (!received_.empty() && received_.front().Due <= now &&
               received_.front().Baud == bytes.Baud) {
            bytes.Bytes += received_.front().Bytes;
            received_.pop_front();
        }
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.Bytes.data());
        for (const Reply& reply : board_.Receive(data, bytes.Bytes.size(), bytes.Baud))
            Schedule(reply, now);
    }
}

void Simulator::Schedule(const Reply& reply, Clock::time_point now) {
    const Clock::time_point ready =
        now + std::chrono::milliseconds(options_.AnswerDelayMs + reply.DelayMs);
    if (!options_.Pace) {
        sending_.push_back({reply.Bytes, reply.Baud, ready});
        return;
    }
    for (char c : reply.Bytes) {
        txFree_ = std::max(txFree_, ready) + ByteTime(reply.Baud);
        sending_.push_back({std::string(1, c), reply.Baud, txFree_});
    }
}

void Simulator::WriteDue(Clock::time_point now) {
    if (sending_.empty() || sending_.front().Due > now)
        return;
    std::string bytes;
    const int baud = sending_.front().Baud;
    while (!sending_.empty() && sending_.front().Due <= now && sending_.front().Baud == baud) {
        bytes += sending_.front().Bytes;
        sending_.pop_front();
    }
    std::vector<uint8_t> out(bytes.begin(), bytes.end());
    const int lineBaud = line_.LineBaud();
    if (lineBaud != baud) // the updater's UART listens at another speed
        out = ReceiveAtSpeed(out, baud, lineBaud);
    line_.Write(out.data(), out.size());
    lastTraffic_ = now;
    WriteDue(now);
}

} // namespace boardsim
