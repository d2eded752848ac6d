// The whole built-in image through a network serial port: TComPort speaking RFC 2217 to a real
// server on the loopback, which fronts the board simulator's pseudo-terminal. The simulator
// garbles whatever arrives at a speed other than the one the server set on its line, so an
// exact image also proves that both speed changes crossed the network.
#include "ComPortLine.h"
#include "serial/ComBackend.h"
#include "tests/support/Pump.h"
#include "tests/support/SerialServers.h"
#include "updater/OpenFailure.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

template <class Server> struct NetPortLine : Server, ComPortLine {
    NetPortLine(const std::string& path, updaterun::Replies& replies)
        : Server(path), ComPortLine(Server::Url(), replies) {}
};

} // namespace

TEST(NetPort, WholePacedUpdateThroughSer2Net) {
    updaterun::UpdateWholeImage<NetPortLine<Ser2Net>>(true);
}

TEST(NetPort, WholeUpdateThroughPySerialServer) {
    updaterun::UpdateWholeImage<NetPortLine<PySerialServer>>();
}

// A server that went away mid-transfer is an adapter pulled out: one error event, then every
// call fails with what happened to the connection.
TEST(NetPort, ServerKilledIsAPortError) {
    SimulatedBoard sim;
    Ser2Net server(sim.SlavePath());
    ASSERT_TRUE(server.Running());
    Sync::SetMainThread();
    TComPort port;
    port.SetPort(server.Url());
    std::vector<TComErrors> errors;
    port.OnError = [&](TComponent*, TComErrors e) { errors.push_back(e); };
    port.OnRxChar = [&](TComponent*, int count) {
        std::string bytes(static_cast<size_t>(count), '\0');
        port.Read(bytes.data(), count);
    };
    port.Open();
    port.WriteStr("(%B67)");
    server.Kill();
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, std::chrono::seconds(10)));
    PumpFor(std::chrono::milliseconds(200));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].Contains(ceIO));
    try {
        port.WriteStr("<S@>");
        FAIL() << "a write on a lost connection succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, mcWriteFailed);
        const OpenFailureKind kind = ClassifyOpenFailure(e.WinErrorCode);
        EXPECT_TRUE(kind == OpenFailureKind::Closed || kind == OpenFailureKind::Reset)
            << e.WinErrorCode;
        // The same advice as for an adapter pulled out, saying what happened to the connection.
        EXPECT_NE(TransferFailureCause(e.WinErrorCode, CauseLanguage::English).find("network port"),
                  std::string::npos);
        EXPECT_NE(TransferFailureCause(e.WinErrorCode).find("porta de rede"), std::string::npos);
    }
    port.Close();
    EXPECT_FALSE(port.Connected());
}

// Nothing listening, a name nobody knows, a malformed URL: Open fails with code 1 and a cause.
TEST(NetPort, OpenFailuresNameTheirCause) {
    // A listener that never speaks Telnet: a raw TCP port.
    const int rawPort = FreeTcpPort();
    int raw = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(rawPort);
    ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(raw, 4), 0);
    const struct {
        std::string port;
        int error;
        OpenFailureKind kind;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort()), ECONNREFUSED,
         OpenFailureKind::Refused},
        {"rfc2217://quorvel-no-such-host.invalid:4001", ComHostNotFoundError,
         OpenFailureKind::HostNotFound},
        {"rfc2217://127.0.0.1:" + std::to_string(rawPort), EPROTONOSUPPORT,
         OpenFailureKind::NotRfc2217},
        {"rfc2217://127.0.0.1", EINVAL, OpenFailureKind::Other},
    };
    for (const auto& c : cases) {
        TComPort port;
        port.SetPort(c.port);
        try {
            port.Open();
            ADD_FAILURE() << c.port << " opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.MessageCode, mcOpenFailed) << c.port;
            EXPECT_EQ(e.WinErrorCode, c.error) << c.port;
            EXPECT_EQ(ClassifyOpenFailure(e.WinErrorCode), c.kind) << c.port;
            EXPECT_NE(OpenFailureCause(e.WinErrorCode, CauseLanguage::English),
                      OpenFailureCause(e.WinErrorCode, CauseLanguage::Portuguese));
        }
        EXPECT_FALSE(port.Connected());
    }
    close(raw);
}
