// The network port, over the system's sockets (Socket.h). A reader thread takes everything the
// server sends: line data into the receive buffer, acknowledgements and line/modem notifications
// into the state the component's calls and its event thread look at.
#include "serial/net/NetBackend.h"
#include "serial/net/NetAddress.h"
#include "serial/net/Socket.h"
#include "serial/net/Telnet.h"
#include "serial/net/TlsStream.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace telnet;

// How long a connect and the server's agreement to the option may take.
constexpr int connectLimitMs = 3000;
// How long a setting's acknowledgement may take before the server is taken not to send one:
// a few of the round trips its option negotiation took, within these bounds.
constexpr auto ackLimitMin = std::chrono::milliseconds(150);
constexpr auto ackLimitMax = std::chrono::milliseconds(1000);
// An idle connection sends a Telnet NOP this often, so a vanished server shows as a timeout.
constexpr int keepAliveMs = 2000;
// The receive buffer stops taking from the socket here (TCP then holds the server back).
constexpr size_t rxLimit = 1 << 16;

// Line state bits (NOTIFY-LINESTATE) and modem state bits (NOTIFY-MODEMSTATE).
constexpr uint8_t LsBreak = 16, LsFrame = 8, LsParity = 4, LsOverrun = 2;
constexpr uint8_t MsRingTrailingEdge = 4;

// Commands a server left unanswered, by server and command, for the whole program: the next
// connection to it does not wait again.
struct Unanswered {
    std::mutex Mutex;
    std::set<std::string> Keys;
};
Unanswered& UnansweredCommands() {
    static Unanswered unanswered;
    return unanswered;
}

std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

uint8_t ParityCode(TParityBits parity) {
    switch (parity) {
    case prOdd:
        return 2;
    case prEven:
        return 3;
    case prMark:
        return 4;
    case prSpace:
        return 5;
    default:
        return 1;
    }
}

uint8_t StopCode(TStopBits stop) {
    return stop == sbTwoStopBits ? 2 : stop == sbOne5StopBits ? 3 : 1;
}

// The settings as the server's commands: command code and value.
std::vector<std::pair<uint8_t, std::string>> LineCommands(const TComLineSettings& s) {
    const bool hardware = s.OutCTSFlow || s.ControlRTS == rtsHandshake;
    const bool software = s.XonXoffOut || s.XonXoffIn;
    const uint8_t outFlow = hardware ? 3 : software ? 2 : 1;
    const uint8_t dtr = s.ControlDTR == dtrDisable ? 9 : 8;
    std::vector<std::pair<uint8_t, std::string>> commands = {
        {CpSetBaudRate, Be32(static_cast<uint32_t>(s.BaudRate))},
        {CpSetDataSize, std::string(1, static_cast<char>(s.DataBits))},
        {CpSetParity, std::string(1, static_cast<char>(ParityCode(s.Parity)))},
        {CpSetStopSize, std::string(1, static_cast<char>(StopCode(s.StopBits)))},
        {CpSetControl, std::string(1, static_cast<char>(outFlow))},
        {CpSetControl, std::string(1, static_cast<char>(dtr))},
    };
    // With hardware flow the server drives RTS itself.
    if (!hardware)
        commands.push_back(
            {CpSetControl,
             std::string(1, static_cast<char>(s.ControlRTS == rtsDisable ? 12 : 11))});
    return commands;
}

class NetBackend final : public TComBackend {
public:
    ~NetBackend() override { Close(); }

    void Close() override {
        if (readerThread_.joinable()) {
            stop_ = true;
            Wake();
            readerThread_.join();
        }
        const TSocket s = socket_.exchange(NoSocket);
        tls_.reset();
        if (s == NoSocket)
            return;
        // Unsent bytes are the port's unsent output: dropped, never waited for.
        CloseSocket(s, true);
        CloseWake(wake_);
    }

    int Read(void* buffer, int count, int& got) override {
        got = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        std::lock_guard lock(mutex_);
        if (rx_.empty())
            return failure_;
        const bool full = rx_.size() >= rxLimit;
        got = static_cast<int>(std::min<size_t>(rx_.size(), static_cast<size_t>(count)));
        std::memcpy(buffer, rx_.data(), static_cast<size_t>(got));
        rx_.erase(0, static_cast<size_t>(got));
        if (full)
            Wake();
        return 0;
    }

    int Write(const void* buffer, int count, int& sent) override {
        sent = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        if (int rc = Failure())
            return rc;
        const auto deadline = WriteDeadline(timeouts_, count);
        const std::string wire = EscapeData(buffer, static_cast<size_t>(count));
        size_t written = 0;
        int rc = Send(wire, deadline, written);
        // A doubled 0xFF cut in half would turn the next bytes into a command.
        if (rc == 0 && written < wire.size() && DataCount(wire, written).second) {
            size_t rest = 0;
            rc = Send(wire.substr(written, 1), Clock::now() + ackLimitMax, rest);
            written += rest;
        }
        sent = static_cast<int>(DataCount(wire, written).first);
        if (sent > 0) {
            std::lock_guard lock(mutex_);
            txPending_ = true;
            changed_.notify_all();
        }
        return rc;
    }

    int InputCount(int& count) override {
        count = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        std::lock_guard lock(mutex_);
        if (rx_.empty())
            return failure_;
        count = static_cast<int>(rx_.size());
        return 0;
    }

    int OutputCount(int& count) override {
        count = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        if (int rc = Failure())
            return rc;
        return SocketUnsent(socket_, count);
    }

    int Purge(bool input, bool output) override {
        if (socket_ == NoSocket)
            return ComClosedPortError;
        if (!input && !output)
            return 0;
        {
            std::lock_guard lock(mutex_);
            if (failure_)
                return failure_;
            if (input) {
                rx_.clear();
                rxArrived_ = rxFlag_ = false;
                Wake();
            }
        }
        // 1 is the server's buffer of bytes from the line, 2 its bytes for the line. Its
        // answer is not waited for: the server takes the commands in the order they were sent.
        const uint8_t which = input && output ? 3 : input ? 1 : 2;
        return SendControl(ComPortCommand(CpPurgeData, std::string(1, static_cast<char>(which))));
    }

    int ModemStatus(unsigned& lines) override {
        lines = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        std::lock_guard lock(mutex_);
        lines = modemState_ & (MsCtsOn | MsDsrOn | MsRingOn | MsRlsdOn);
        return failure_;
    }

    int TakeErrors(unsigned& errors) override {
        errors = 0;
        if (socket_ == NoSocket)
            return ComClosedPortError;
        std::lock_guard lock(mutex_);
        // A lost connection reports one I/O error, then fails like any other call.
        if (failure_ && !ioeReported_) {
            ioeReported_ = true;
            errors = CeIoe;
            return 0;
        }
        errors = std::exchange(errors_, 0u);
        return failure_;
    }

    int WaitEvent(unsigned mask, unsigned& events) override {
        events = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (interrupted_)
                return 0;
            if (socket_ == NoSocket)
                return ComClosedPortError;
            if (failure_) {
                // Nothing more will come: report it once, then sleep until told to stop.
                if (!failureReported_ && (mask & EvErrBit)) {
                    failureReported_ = true;
                    events = EvErrBit;
                    return 0;
                }
                changed_.wait(lock);
                continue;
            }
            int waitMs = -1;
            unsigned ready = Collect(mask, waitMs);
            if (ready) {
                events = ready;
                return 0;
            }
            if (waitMs < 0)
                changed_.wait(lock);
            else
                changed_.wait_for(lock, std::chrono::milliseconds(waitMs));
        }
    }

    void Interrupt() override {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        changed_.notify_all();
    }

protected:
    int DoOpen(const std::string& port) override {
        TNetAddress address;
        if (!ParseNetAddress(port, address))
            return NetInvalidError;
        if (address.Tls && !TTlsStream::Available())
            return ComTlsUnavailableError;
        server_ = address.Host + "|" + address.Service;
        TSocket s = NoSocket;
        if (int rc = ConnectTcp(address, connectLimitMs, s))
            return rc;
        if (address.Tls)
            if (int rc = TTlsStream::Start(s, address, connectLimitMs, tls_)) {
                CloseSocket(s, true);
                return rc;
            }
        if (int rc = OpenWake(wake_)) {
            CloseSocket(s, true);
            return rc;
        }
        socket_ = s;
        const std::string hello = Negotiation(Will, OptBinary) + Negotiation(Do, OptBinary) +
                                  Negotiation(Will, OptSuppressGoAhead) +
                                  Negotiation(Do, OptSuppressGoAhead) +
                                  Negotiation(Will, OptComPort);
        usRequested_ = {OptBinary, OptSuppressGoAhead, OptComPort};
        himRequested_ = {OptBinary, OptSuppressGoAhead};
        const auto sentAt = Clock::now();
        int rc = SendControl(hello);
        if (rc == 0)
            readerThread_ = std::thread([this] { ReadLoop(); });
        if (rc == 0)
            rc = AwaitComPortOption(sentAt);
        // Line errors and break, and every modem line.
        if (rc == 0)
            rc = SendControl(
                ComPortCommand(
                    CpSetLineStateMask,
                    std::string(1, static_cast<char>(LsBreak | LsFrame | LsParity | LsOverrun))) +
                ComPortCommand(CpSetModemStateMask, std::string(1, '\xff')));
        if (rc != 0)
            Close();
        return rc;
    }

    int DoSetLine(const TComLineSettings& s) override {
        if (socket_ == NoSocket)
            return ComClosedPortError;
        if (s.BaudRate <= 0 || s.DataBits < 5 || s.DataBits > 8)
            return NetInvalidError;
        {
            std::lock_guard lock(mutex_);
            eventChar_ = static_cast<char>(s.EventChar);
        }
        // Only what changed goes out; every command of a change waits under one limit.
        std::vector<std::pair<uint8_t, std::string>> commands = LineCommands(s);
        std::vector<std::pair<uint8_t, std::string>> changed;
        for (const auto& c : commands)
            if (std::find(sentLine_.begin(), sentLine_.end(), c) == sentLine_.end())
                changed.push_back(c);
        if (int rc = Commands(changed))
            return rc;
        sentLine_ = std::move(commands);
        return 0;
    }

    int DoSetTimeouts(const TComTimeoutSettings& t) override {
        timeouts_ = t;
        return socket_ == NoSocket ? ComClosedPortError : 0;
    }

    int DoSetQueues(int inputSize, int) override {
        std::lock_guard lock(mutex_);
        inputSize_ = std::max(1, inputSize);
        return socket_ == NoSocket ? ComClosedPortError : 0;
    }

private:
    // The events ready for the event thread (mutex_ held); `waitMs` tells when to look again
    // if there are none (-1: when something changes).
    unsigned Collect(unsigned mask, int& waitMs) {
        unsigned ready = std::exchange(lineEvents_, 0u) & mask;
        if (rxArrived_ && (mask & EvRxCharBit)) {
            rxArrived_ = false;
            ready |= EvRxCharBit;
            if (rx_.size() * 5 >= static_cast<size_t>(inputSize_) * 4)
                ready |= mask & EvRx80FullBit;
        }
        if (rxFlag_ && (mask & EvRxFlagBit)) {
            rxFlag_ = false;
            ready |= EvRxFlagBit;
        }
        if (txPending_ && (mask & EvTxEmptyBit)) {
            int queued = 0;
            if (SocketUnsent(socket_, queued) == 0 && queued == 0) {
                txPending_ = false;
                ready |= EvTxEmptyBit;
            } else {
                // The socket says nothing when its queue drains: look again shortly.
                waitMs = 5;
            }
        }
        return ready;
    }

    int AwaitComPortOption(Clock::time_point sentAt) {
        std::unique_lock lock(mutex_);
        const bool answered =
            changed_.wait_for(lock, std::chrono::milliseconds(connectLimitMs),
                              [this] { return comPortAnswered_ || failure_ != 0; });
        ackLimit_ = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   ackLimitMin + 8 * (Clock::now() - sentAt)),
                               ackLimitMin, ackLimitMax);
        if (failure_)
            return failure_;
        // Not a COM-PORT-OPTION server (a raw TCP port, or one that refused it).
        return answered && comPortAgreed_ ? 0 : NetNotRfc2217Error;
    }

    // Sends the commands in one piece and waits for the answers a server gives; one that never
    // comes costs the limit once.
    int Commands(const std::vector<std::pair<uint8_t, std::string>>& commands) {
        if (commands.empty())
            return 0;
        std::string wire;
        std::vector<std::pair<uint8_t, std::string>> awaitedCommands;
        for (const auto& command : commands) {
            wire += ComPortCommand(command.first, command.second);
            if (!IsUnanswered(command))
                awaitedCommands.push_back(command);
        }
        // Answers to the same command come in the order sent: the n-th one sent waits for the
        // count to grow by n.
        std::vector<std::pair<uint8_t, unsigned>> awaited; // answer code, count to reach
        {
            std::lock_guard lock(mutex_);
            if (failure_)
                return failure_;
            for (const auto& command : awaitedCommands) {
                const uint8_t code = static_cast<uint8_t>(command.first + CpServerOffset);
                unsigned before = answers_[code];
                for (const auto& a : awaited)
                    if (a.first == code)
                        before = a.second;
                awaited.push_back({code, before + 1});
            }
        }
        if (int rc = SendControl(wire))
            return rc;
        std::unique_lock lock(mutex_);
        auto answered = [&](const std::pair<uint8_t, unsigned>& a) {
            return answers_[a.first] >= a.second;
        };
        const bool all = changed_.wait_for(lock, ackLimit_, [&] {
            return failure_ != 0 || std::all_of(awaited.begin(), awaited.end(), answered);
        });
        if (failure_)
            return failure_;
        if (!all)
            for (size_t i = 0; i < awaited.size(); ++i)
                if (!answered(awaited[i]))
                    Remember(awaitedCommands[i]);
        return 0;
    }

    std::string UnansweredKey(const std::pair<uint8_t, std::string>& command) const {
        return server_ + "|" + std::to_string(command.first) + "|" + command.second;
    }

    bool IsUnanswered(const std::pair<uint8_t, std::string>& command) const {
        Unanswered& u = UnansweredCommands();
        std::lock_guard lock(u.Mutex);
        return u.Keys.count(UnansweredKey(command)) != 0;
    }

    void Remember(const std::pair<uint8_t, std::string>& command) const {
        Unanswered& u = UnansweredCommands();
        std::lock_guard lock(u.Mutex);
        u.Keys.insert(UnansweredKey(command));
    }

    int Failure() {
        std::lock_guard lock(mutex_);
        return failure_;
    }

    void Fail(int error) {
        std::lock_guard lock(mutex_);
        if (failure_ == 0)
            failure_ = error;
        changed_.notify_all();
    }

    // Control bytes (negotiation, commands, NOP) from any thread.
    int SendControl(const std::string& bytes) {
        size_t written = 0;
        return Send(bytes, Clock::now() + std::chrono::milliseconds(TcpUserTimeoutMs), written);
    }

    // Writes as much of `bytes` as the deadline allows; one sender at a time, so commands and
    // data never interleave.
    int Send(const std::string& bytes, Clock::time_point deadline, size_t& written) {
        std::lock_guard lock(sendMutex_);
        written = 0;
        const TSocket s = socket_;
        while (written < bytes.size()) {
            size_t n = 0;
            if (int rc = SendSome(s, bytes.data() + written, bytes.size() - written, n)) {
                Fail(rc);
                return Failure();
            }
            written += n;
            if (n > 0)
                continue;
            const int waitMs = PollMsUntil(deadline);
            if (waitMs == 0)
                return 0;
            unsigned ready = 0;
            if (int rc = WaitSocket(s, tls_ ? tls_->SendWaitsFor() : SocketWritable, nullptr,
                                    waitMs, ready))
                return rc;
            if (ready & SocketFailed) {
                Fail(SocketError(s));
                return Failure();
            }
        }
        return 0;
    }

    // The socket's send and recv, or TLS's over it.
    int SendSome(TSocket s, const char* bytes, size_t size, size_t& sent) {
        return tls_ ? tls_->Send(bytes, size, sent) : SocketSend(s, bytes, size, sent);
    }
    int RecvSome(uint8_t* buffer, size_t size, size_t& got) {
        return tls_ ? tls_->Recv(reinterpret_cast<char*>(buffer), size, got)
                    : SocketRecv(socket_, buffer, size, got);
    }

    // The data bytes whose escaped form lies wholly in the first `written` wire bytes, and
    // whether those end in the middle of a doubled 0xFF.
    static std::pair<size_t, bool> DataCount(const std::string& wire, size_t written) {
        size_t count = 0;
        for (size_t i = 0; i < written; ++i) {
            if (static_cast<uint8_t>(wire[i]) == Iac && ++i >= written)
                return {count, true};
            ++count;
        }
        return {count, false};
    }

    // The reader thread: the server's bytes until the connection ends or Close.
    void ReadLoop() {
        std::vector<uint8_t> buffer(8192);
        std::string data;
        std::vector<TCommand> commands;
        for (;;) {
            bool room;
            {
                std::lock_guard lock(mutex_);
                room = rx_.size() < rxLimit;
            }
            unsigned ready = 0;
            const unsigned want = room ? (tls_ ? tls_->RecvWaitsFor() : SocketReadable) : 0;
            // Bytes TLS has decrypted already: a wait on the socket would not see them.
            if (room && tls_ && tls_->Pending() > 0)
                ready = SocketReadable;
            else if (int rc = WaitSocket(socket_, want, &wake_, keepAliveMs, ready)) {
                Fail(rc);
                return;
            }
            if (stop_)
                return;
            if (ready == 0) {
                if (SendControl(std::string{static_cast<char>(Iac), static_cast<char>(Nop)}))
                    return;
                continue;
            }
            // TLS may want the socket writable to go on reading.
            if (!(ready & (SocketReadable | SocketWritable | SocketFailed)))
                continue;
            size_t got = 0;
            if (int rc = RecvSome(buffer.data(), buffer.size(), got)) {
                Fail(rc);
                return;
            }
            if (got == 0)
                continue;
            data.clear();
            commands.clear();
            telnet_.Feed(buffer.data(), got, data, commands);
            for (const TCommand& c : commands)
                if (Handle(c) != 0)
                    return;
            if (!data.empty())
                Received(data);
        }
    }

    void Received(const std::string& data) {
        std::lock_guard lock(mutex_);
        if (data.find(eventChar_) != std::string::npos)
            rxFlag_ = true;
        rx_ += data;
        rxArrived_ = true;
        changed_.notify_all();
    }

    int Handle(const TCommand& c) {
        if (c.Verb == Sb) {
            if (c.Option == OptComPort && !c.Payload.empty())
                ComPortMessage(static_cast<uint8_t>(c.Payload[0]), c.Payload.substr(1));
            return 0;
        }
        return Negotiate(c.Verb, c.Option);
    }

    // Option negotiation without loops: a request is answered only when it changes the state.
    int Negotiate(uint8_t verb, uint8_t option) {
        const bool wanted = option == OptBinary || option == OptSuppressGoAhead ||
                            (option == OptComPort && (verb == Do || verb == Dont));
        const bool ours = verb == Do || verb == Dont;
        std::set<uint8_t>& enabled = ours ? usEnabled_ : himEnabled_;
        std::set<uint8_t>& requested = ours ? usRequested_ : himRequested_;
        const bool asked = requested.erase(option) != 0;
        std::string reply;
        if (verb == Do || verb == Will) {
            if (wanted && !enabled.count(option)) {
                enabled.insert(option);
                if (!asked)
                    reply = Negotiation(verb == Do ? Will : Do, option);
            } else if (!wanted) {
                reply = Negotiation(verb == Do ? Wont : Dont, option);
            }
        } else if (enabled.erase(option)) {
            reply = Negotiation(verb == Dont ? Wont : Dont, option);
        }
        if (option == OptComPort && ours) {
            std::lock_guard lock(mutex_);
            comPortAnswered_ = true;
            comPortAgreed_ = verb == Do;
            changed_.notify_all();
        }
        return reply.empty() ? 0 : SendControl(reply);
    }

    void ComPortMessage(uint8_t code, const std::string& value) {
        std::lock_guard lock(mutex_);
        const uint8_t v = value.empty() ? 0 : static_cast<uint8_t>(value[0]);
        if (code == CpNotifyLineState + CpServerOffset) {
            const unsigned errors = (v & LsFrame ? CeFrame : 0) | (v & LsParity ? CeRxParity : 0) |
                                    (v & LsOverrun ? CeOverrun : 0) | (v & LsBreak ? CeBreak : 0);
            errors_ |= errors;
            lineEvents_ |= (errors & ~CeBreak ? EvErrBit : 0) | (v & LsBreak ? EvBreakBit : 0);
        } else if (code == CpNotifyModemState + CpServerOffset) {
            const unsigned now = v & (MsCtsOn | MsDsrOn | MsRingOn | MsRlsdOn);
            const unsigned changed = now ^ modemState_;
            lineEvents_ |=
                (changed & MsCtsOn ? EvCtsBit : 0) | (changed & MsDsrOn ? EvDsrBit : 0) |
                (changed & MsRlsdOn ? EvRlsdBit : 0) |
                ((v & MsRingTrailingEdge) || (modemState_ & ~now & MsRingOn) ? EvRingBit : 0);
            modemState_ = now;
        } else {
            ++answers_[code];
        }
        changed_.notify_all();
    }

    void Wake() { ::Wake(wake_); }

    std::atomic<TSocket> socket_{NoSocket};
    std::unique_ptr<TTlsStream> tls_; // rfc2217s://: set before the reader starts
    TSocketWake wake_;
    std::string server_; // host and service, for the commands it leaves unanswered
    TComTimeoutSettings timeouts_;
    std::chrono::milliseconds ackLimit_ = ackLimitMax;
    std::vector<std::pair<uint8_t, std::string>> sentLine_; // the line settings last sent
    std::thread readerThread_;
    std::atomic<bool> stop_{false};
    std::mutex sendMutex_;
    // The reader thread's own: the stream's parser and the options' state.
    TReader telnet_;
    std::set<uint8_t> usEnabled_, himEnabled_, usRequested_, himRequested_;
    // Shared with the reader thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string rx_;
    bool rxArrived_ = false, rxFlag_ = false, txPending_ = false;
    char eventChar_ = 0;
    int inputSize_ = 1024;
    unsigned modemState_ = 0, lineEvents_ = 0, errors_ = 0;
    unsigned answers_[256] = {};
    bool comPortAnswered_ = false, comPortAgreed_ = false;
    int failure_ = 0;
    bool ioeReported_ = false, failureReported_ = false, interrupted_ = false;
};

} // namespace

std::unique_ptr<TComBackend> CreateNetComBackend() {
    return std::make_unique<NetBackend>();
}
