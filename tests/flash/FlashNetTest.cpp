// quorvel-flash with network ports named in ports.conf: two boards behind two ser2net servers on
// the loopback, updated at once by name; --list with their reachability; a bad line named.
#include "tests/boardsim/UpdateRun.h"
#include "tests/support/SerialServers.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
    updaterun::RunningSimulator boardA(boardsim::SimulatorOptions{});
    updaterun::RunningSimulator boardB(boardsim::SimulatorOptions{});
    Ser2Net serverA(boardA.Path()), serverB(boardB.Path());
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
    for (updaterun::RunningSimulator* board : {&boardA, &boardB})
        EXPECT_EQ(board->Stop().CurrentMode(), boardsim::Board::Mode::Finished);
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
        updaterun::RunningSimulator board(boardsim::SimulatorOptions{});
        Ser2Net server(board.Path(), 0, certs.Accepter("good", false));
        ASSERT_TRUE(server.Running());
        TempDir home;
        const std::string url = server.Url() + c.query;
        std::filesystem::create_directories(home / ".config/quorvel");
        std::ofstream(home / ".config/quorvel/ports.conf") << "Bancada TLS = " << url << "\n";
        const Result run = Flash(home, "--no-log '" + (c.named ? "Bancada TLS" : url) + "'");
        EXPECT_EQ(run.Status, c.status) << run.Output;
        EXPECT_TRUE(Has(run.Output, c.said)) << run.Output;
        EXPECT_EQ(board.Stop().CurrentMode(), c.mode);
    }
}
