// The whole built-in image through a network serial port: TComPort speaking RFC 2217 to a real
// server on the loopback, which fronts the board simulator's pseudo-terminal. The simulator
// garbles whatever arrives at a speed other than the one the server set on its line, so an
// exact image also proves that both speed changes crossed the network.
#include "ComPortLine.h"
#include "serial/ComBackend.h"
#include "tests/support/Pump.h"
#include "tests/support/SerialServers.h"

#include <cerrno>

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
    updaterun::RunningSimulator sim(boardsim::SimulatorOptions{});
    Ser2Net server(sim.Path());
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
        EXPECT_TRUE(e.WinErrorCode == ECONNABORTED || e.WinErrorCode == ECONNRESET)
            << e.WinErrorCode;
    }
    port.Close();
    EXPECT_FALSE(port.Connected());
}

// Nothing listening, a name nobody knows, a malformed URL: Open fails with code 1 and a cause.
TEST(NetPort, OpenFailuresNameTheirCause) {
    const struct {
        std::string port;
        int error;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort()), ECONNREFUSED},
        {"rfc2217://quorvel-no-such-host.invalid:4001", ComHostNotFoundError},
        {"rfc2217://127.0.0.1", EINVAL},
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
        }
        EXPECT_FALSE(port.Connected());
    }
}
