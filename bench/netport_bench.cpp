// links: quorvel_core quorvel_test_support
// quorvel-flash through network ports: paced boards behind ser2net on the loopback against the
// same boards on their pseudo-terminals (same run), and over TLS against plain, then with a round
// trip R added on the path by a small delay proxy, against wire time + 430 x R (every frame waits
// for its answer, so that sum is the limit). Also the flasher's CPU for eight remote boards.
//
//   build/bin/netport_bench [R_ms...]   (ser2net installed; default R: 5 20)
#include "BoardProcess.h"
#include "tests/support/SerialServers.h"
#include "tests/support/TestCertificates.h"

#include <arpa/inet.h>
#include <atomic>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Everything read from `from` is written to `to` `delayMs` later, until either side ends.
void Forward(int from, int to, int delayMs) {
    std::deque<std::pair<Clock::time_point, std::string>> due;
    for (bool open = true; open || !due.empty();) {
        int waitMs = -1;
        if (!due.empty()) {
            // Rounded up: a wait of 0 with the bytes not yet due would spin.
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                due.front().first - Clock::now());
            waitMs = static_cast<int>(std::max<int64_t>(0, (left.count() + 999) / 1000));
        }
        pollfd pfd{from, static_cast<short>(open ? POLLIN : 0), 0};
        poll(&pfd, 1, waitMs);
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t n = recv(from, buffer, sizeof buffer, 0);
            if (n <= 0)
                open = false;
            else
                due.push_back({Clock::now() + std::chrono::milliseconds(delayMs),
                               std::string(buffer, static_cast<size_t>(n))});
        }
        while (!due.empty() && due.front().first <= Clock::now()) {
            if (send(to, due.front().second.data(), due.front().second.size(), MSG_NOSIGNAL) < 0)
                return;
            due.pop_front();
        }
    }
    shutdown(to, SHUT_WR);
}

// A TCP relay on 127.0.0.1 that adds a round trip of `rttMs` (half each way) to one server.
class DelayProxy {
public:
    DelayProxy(int serverPort, int rttMs) : port_(FreeTcpPort()) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = LoopbackAddress(port_);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 4);
        thread_ = std::thread([this, serverPort, rttMs] { Serve(serverPort, rttMs); });
    }
    ~DelayProxy() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    void Serve(int serverPort, int rttMs) {
        std::vector<std::thread> pumps;
        std::vector<int> sockets;
        while (!stop_) {
            pollfd pfd{listen_, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = LoopbackAddress(serverPort);
            if (client < 0 || connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
                close(client);
                close(server);
                continue;
            }
            int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            pumps.emplace_back(Forward, client, server, rttMs / 2);
            pumps.emplace_back(Forward, server, client, rttMs - rttMs / 2);
            sockets.insert(sockets.end(), {client, server});
        }
        for (int s : sockets)
            shutdown(s, SHUT_RDWR);
        for (std::thread& t : pumps)
            t.join();
        for (int s : sockets)
            close(s);
    }

    int port_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// `boards` paced boards updated at once; remote through ser2net (and a proxy of `rttMs`), over
// TLS with `tls`'s server certificate.
FlashRun Batch(const std::string& dir, int boards, bool remote, int rttMs,
               const TestCertificates* tls = nullptr) {
    std::vector<Simulator> sims;
    for (int i = 0; i < boards; ++i)
        sims.push_back(StartSimulator(dir + "quorvel-boardsim", i));
    std::vector<std::unique_ptr<Ser2Net>> servers;
    std::vector<std::unique_ptr<DelayProxy>> proxies;
    std::vector<std::string> args{dir + "quorvel-flash", "--quiet", "--no-log"};
    for (const Simulator& s : sims) {
        if (!remote) {
            args.push_back(s.Port);
            continue;
        }
        servers.push_back(std::make_unique<Ser2Net>(
            s.Port, 0, tls ? tls->Accepter("good", false) : TlsAccepter{}));
        if (rttMs > 0)
            proxies.push_back(std::make_unique<DelayProxy>(servers.back()->TcpPort(), rttMs));
        args.push_back(rttMs > 0 ? proxies.back()->Url()
                                 : servers.back()->Url() + (tls ? "?ca=" + tls->Ca() : ""));
    }
    // Its lines tell why when a batch fails.
    const std::string output = "/tmp/netport_bench_flash.txt";
    FlashRun run = RunFlashProgram(args, output.c_str());
    if (!run.Ok)
        std::fprintf(stderr, "%s\n", ReadAll(output).c_str());
    proxies.clear();
    servers.clear();
    StopSimulators(sims);
    return run;
}

void Row(const char* path, int boards, const FlashRun& run, double reference, const char* against) {
    if (!run.Ok) {
        std::printf("| %s | %d | failed | | |\n", path, boards);
        std::fflush(stdout);
        return;
    }
    std::printf("| %s | %d | %.2f s | %+.2f %% against %s | %.2f %% of a core |\n", path, boards,
                run.Wall, 100.0 * (run.Wall - reference) / reference, against,
                100.0 * run.Cpu / run.Wall);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> rtts;
    for (int i = 1; i < argc; ++i)
        rtts.push_back(std::atoi(argv[i]));
    if (rtts.empty())
        rtts = {5, 20};
    std::string dir = argv[0];
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    LoadFirmwareImage();
    const double wire = WireSeconds();
    std::printf("wire time of one board: %.2f s (%d blocks)\n\n", wire, BlockCount);
    std::printf(
        "| path | boards | whole update | against | flasher CPU |\n|---|---|---|---|---|\n");
    std::fflush(stdout);
    const TestCertificates certificates;
    bool ok = certificates.Made();
    for (int boards : {1, 8}) {
        const FlashRun local = Batch(dir, boards, false, 0);
        const FlashRun remote = Batch(dir, boards, true, 0);
        const FlashRun secure = Batch(dir, boards, true, 0, &certificates);
        Row("local pseudo-terminal", boards, local, wire, "wire time");
        Row("ser2net on 127.0.0.1", boards, remote, local.Wall, "local, same run");
        Row("ser2net over TLS", boards, secure, remote.Wall, "plain ser2net, same run");
        ok = ok && local.Ok && remote.Ok && secure.Ok;
    }
    for (int rtt : rtts) {
        const FlashRun run = Batch(dir, 1, true, rtt);
        const double limit = wire + BlockCount * rtt / 1000.0;
        const std::string path = "ser2net + " + std::to_string(rtt) + " ms round trip";
        Row(path.c_str(), 1, run, limit, "wire + 430 x R");
        ok = ok && run.Ok;
    }
    return ok ? 0 : 1;
}
