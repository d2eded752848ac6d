// quorvel-flash with network ports: two boards behind two ser2net servers on the loopback,
// updated at once by the names ports.conf gives them; --list with their reachability; a bad
// line named; a bench whose server dies mid-transfer and comes back with the next board.
#include "tests/support/ChildProcess.h"
#include "tests/support/SerialServers.h"
#include "tests/support/SimulatedBoard.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

struct Result {
    int Status = -1;
    std::string Output; // standard output and error together
};

// The flasher with `home` as the user's home, English messages.
Result Flash(const TempDir& home, const std::string& args) {
    const std::string command = "env -u XDG_CONFIG_HOME HOME=" + home.Path() +
                                " LANG=C LC_ALL= " FLASH_PROGRAM " " + args + " 2>&1";
    Result r;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        r.Output.append(buffer, n);
    const int status = pclose(pipe);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

} // namespace

TEST(FlashNet, TwoNamedRemoteBoardsAtOnce) {
    SimulatedBoard boardA, boardB;
    Ser2Net serverA(boardA.SlavePath()), serverB(boardB.SlavePath());
    ASSERT_TRUE(serverA.Running() && serverB.Running());
    const std::string gone = "rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort());
    TempDir home;
    std::filesystem::create_directories(home / ".config/quorvel");
    std::ofstream(home / ".config/quorvel/ports.conf") << "# the benches\n\n"
                                                       << "Bancada 1 = " << serverA.Url() << "\n"
                                                       << "Bancada 2 = " << serverB.Url() << "\n"
                                                       << "Bancada 3 rfc2217://10.0.4.23:4001\n"
                                                       << "Desligada = " << gone << "\n";

    const Result list = Flash(home, "--list");
    EXPECT_EQ(list.Status, 0) << list.Output;
    EXPECT_TRUE(Has(list.Output, "Bancada 1  " + serverA.Url() + "  remote, reachable"))
        << list.Output;
    EXPECT_TRUE(Has(list.Output, "Desligada  " + gone + "  remote, unreachable")) << list.Output;
    EXPECT_TRUE(Has(list.Output, "ports.conf:5: not a \"name = rfc2217://host:port\" line"))
        << list.Output;

    const Result run = Flash(home, "--no-log \"Bancada 1\" \"Bancada 2\"");
    EXPECT_EQ(run.Status, 0) << run.Output;
    EXPECT_TRUE(Has(run.Output, serverA.Url() + ": completed")) << run.Output;
    EXPECT_TRUE(Has(run.Output, serverB.Url() + ": completed")) << run.Output;
    for (SimulatedBoard* board : {&boardA, &boardB})
        EXPECT_EQ(board->Finish().CurrentMode(), boardsim::Board::Mode::Finished);
}

// The bench box loses power mid-transfer and comes back with the next board in the socket: the
// loop records the cut board as a port error with its advice, waits through the refused
// connects, then updates the next board and checks its restart through the new server.
TEST(FlashNet, LoopCarriesOnAcrossAServerRestart) {
    TempDir dir;
    ChildProcess first(BOARDSIM_PROGRAM, {"--serial", "N00001"});
    auto server = std::make_unique<Ser2Net>(first.Path());
    ASSERT_TRUE(server->Running());
    const int tcpPort = server->TcpPort();
    const std::string url = server->Url(), out = dir / "out", log = dir / "log.jsonl";
    ChildProcess flash(FLASH_PROGRAM, {"--loop", "--log", log, url}, out, dir / "err");
    // The first progress line after the one that names the board: mid-transfer.
    ASSERT_TRUE(WaitForText(out, url + ": updating, ")) << ReadFile(out);
    server->Kill();
    // The record may be written a moment before the line is printed: wait for the line.
    ASSERT_TRUE(WaitForText(out, url + ": port error, KX27 N00001")) << ReadFile(out);
    // A killed server closes its end, or resets it when our last frame was still unread.
    const std::string cut = ReadFile(out);
    EXPECT_TRUE(Has(cut, "The network port's server closed the connection. Reconnect it") ||
                Has(cut, "The connection to the network port was reset. Reconnect it"))
        << cut;

    ChildProcess second(BOARDSIM_PROGRAM, {"--serial", "N00002", "--reboot"});
    server = std::make_unique<Ser2Net>(second.Path(), tcpPort);
    ASSERT_TRUE(server->Running());
    ASSERT_TRUE(WaitForText(log, "\"verified\":true", 1, std::chrono::seconds(120)))
        << ReadFile(out) << ReadFile(dir / "err");
    flash.Signal(SIGINT);
    // The worst of the run: a port that failed during an attempt.
    EXPECT_EQ(flash.Wait(), 2) << ReadFile(dir / "err");

    std::istringstream records(ReadFile(log));
    std::vector<std::string> lines;
    for (std::string line; std::getline(records, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << ReadFile(log);
    EXPECT_TRUE(Has(lines[0], "\"serial\":\"N00001\"") &&
                Has(lines[0], "\"result\":\"port-error\""))
        << lines[0];
    EXPECT_TRUE(Has(lines[1], "\"serial\":\"N00002\"") &&
                Has(lines[1], "\"result\":\"completed\"") &&
                Has(lines[1], "\"firmware_after\":\"4.5\""))
        << lines[1];
}

// A board behind ser2net's TLS accepter: updated when the URL names the server's authority (here
// through a name in ports.conf); refused with the unknown issuer's cause when the system's trust
// store is left to judge.
TEST(FlashNet, TlsPortByNameOrUrl) {
    TestCertificates certs;
    ASSERT_TRUE(certs.Made());
    const struct {
        std::string query;
        int status;
        const char* said;
        boardsim::Board::Mode mode;
        bool named;
    } cases[] = {
        {"?ca=" + certs.Ca(), 0, ": completed", boardsim::Board::Mode::Finished, true},
        {"", 2, "unknown issuer", boardsim::Board::Mode::NormalFirmware, false},
    };
    for (const auto& c : cases) {
        SimulatedBoard board;
        Ser2Net server(board.SlavePath(), 0, certs.Accepter("good", false));
        ASSERT_TRUE(server.Running());
        TempDir home;
        const std::string url = server.Url() + c.query;
        std::filesystem::create_directories(home / ".config/quorvel");
        std::ofstream(home / ".config/quorvel/ports.conf") << "Bancada TLS = " << url << "\n";
        const Result run = Flash(home, "--no-log '" + (c.named ? "Bancada TLS" : url) + "'");
        EXPECT_EQ(run.Status, c.status) << run.Output;
        EXPECT_TRUE(Has(run.Output, c.said)) << run.Output;
        EXPECT_EQ(board.Finish().CurrentMode(), c.mode);
    }
}
