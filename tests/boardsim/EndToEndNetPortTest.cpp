// The whole built-in image through a network serial port: TComPort speaking RFC 2217 to a real
// server on the loopback, which fronts the board simulator's pseudo-terminal. The simulator
// garbles whatever arrives at a speed other than the one the server set on its line, so an
// exact image also proves that both speed changes crossed the network.
#include "ComPortRunLine.h"
#include "serial/ComBackend.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"
#include "tests/support/SerialServers.h"
#include "tests/support/SimulatedBoard.h"
#include "tests/support/TestCertificates.h"
#include "updater/OpenFailure.h"

#include <cerrno>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

template <class Server> struct NetPortLine : Server, ComPortRunLine {
    NetPortLine(const std::string& path, updaterun::Replies& replies)
        : Server(path), ComPortRunLine(Server::Url(), replies) {}
};

const TestCertificates& Certificates() {
    static const TestCertificates certificates;
    return certificates;
}

// ser2net over TLS with a good certificate, named with its authority's file.
struct TlsSer2Net : Ser2Net {
    explicit TlsSer2Net(const std::string& device)
        : Ser2Net(device, 0, Certificates().Accepter("good", false)) {}
    std::string Url() const { return Ser2Net::Url() + "?ca=" + Certificates().Ca(); }
};

// Identifies the board at 9600 baud and asks its status at 19200: both answered only when the
// server set each speed on the simulator's line.
void IdentifyAndAskStatus(ComPortRunLine& line, updaterun::Replies& replies) {
    Parser = ReplyParserState{};
    ResetHeaderKey();
    line.SetBaud(9600);
    line.WriteText("(%B67)");
    ASSERT_TRUE(line.Pump([&] { return replies.Identifications == 1; }, std::chrono::seconds(10)));
    line.SetBaud(19200);
    line.WriteText("<S@>");
    ASSERT_TRUE(line.Pump([&] { return replies.Statuses == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(Parser.SerialNumber, "A10342");
}

} // namespace

TEST(NetPort, WholePacedUpdateThroughSer2Net) {
    updaterun::UpdateWholeImage<NetPortLine<Ser2Net>>(true);
}

TEST(NetPort, WholeUpdateOverTls) {
    ASSERT_TRUE(Certificates().Made());
    updaterun::UpdateWholeImage<NetPortLine<TlsSer2Net>>();
}

TEST(NetPort, WholeUpdateThroughPySerialServer) {
    updaterun::UpdateWholeImage<NetPortLine<PySerialServer>>();
}

// A server that went away mid-transfer is an adapter pulled out, with TLS or without: one error
// event, then every call fails with what happened to the connection.
TEST(NetPort, ServerKilledIsAPortError) {
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "over TLS" : "plain");
        SimulatedBoard sim;
        Ser2Net server(sim.SlavePath(), 0,
                       tls ? Certificates().Accepter("good", false) : TlsAccepter{});
        ASSERT_TRUE(server.Running());
        Sync::SetMainThread();
        TComPort port;
        port.SetPort(server.Url() + (tls ? "?ca=" + Certificates().Ca() : ""));
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
            EXPECT_NE(
                TransferFailureCause(e.WinErrorCode, CauseLanguage::English).find("network port"),
                std::string::npos);
            EXPECT_NE(TransferFailureCause(e.WinErrorCode).find("porta de rede"),
                      std::string::npos);
        }
        port.Close();
        EXPECT_FALSE(port.Connected());
    }
}

// Every byte value (0xFF doubled on the wire), more than a TLS record's worth each way: what one
// side sends, the other gets whole and in order.
TEST(NetPort, TlsCarriesEveryByteBothWays) {
    ASSERT_TRUE(Certificates().Made());
    Pty pty;
    Ser2Net server(pty.SlavePath(), 0, Certificates().Accepter("good", false));
    ASSERT_TRUE(server.Running());
    Sync::SetMainThread();
    TComPort port;
    port.SetPort(server.Url() + "?ca=" + Certificates().Ca());
    std::string received;
    port.OnRxChar = [&](TComponent*, int count) {
        std::string bytes(static_cast<size_t>(count), '\0');
        received.append(bytes.data(), static_cast<size_t>(port.Read(bytes.data(), count)));
    };
    port.Open();
    port.SetBaudRate(br115200);
    std::string data(20000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(port.Write(data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    std::string sent;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sent.size() < data.size() && std::chrono::steady_clock::now() < end) {
        sent += pty.Take();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(sent == data) << sent.size() << " bytes reached the line";
    pty.Send(data);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= data.size(); }, std::chrono::seconds(60)))
        << received.size() << " bytes came back";
    EXPECT_TRUE(received == data);
    port.Close();
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

// Each check of a TLS server: the port opens and carries the speed changes, or Open fails with
// code 1 and a cause that names the check.
TEST(NetPort, TlsChecksOpenOrNameTheirCause) {
    const TestCertificates& certs = Certificates();
    ASSERT_TRUE(certs.Made());
    const std::string ca = "?ca=" + certs.Ca();
    const std::string client = "&cert=" + certs.Cert("client") + "&key=" + certs.Key("client");
    const std::string foreign = "&cert=" + certs.Cert("stranger") + "&key=" + certs.Key("stranger");
    const struct {
        const char* server; // the server's certificate; empty: ser2net without TLS
        bool clientAuth;
        const char* host;
        std::string query;
        int error;
        const char* words = "";
    } cases[] = {
        {"good", false, "localhost", ca, 0},
        {"good", true, "127.0.0.1", ca + client, 0},
        {"wrongname", false, "127.0.0.1", ca, ComTlsWrongNameError, "host name mismatch"},
        {"stranger", false, "127.0.0.1", ca, ComTlsUnknownIssuerError, "unknown issuer"},
        // The system's trust store knows nothing of the test authority.
        {"good", false, "127.0.0.1", "", ComTlsUnknownIssuerError, "unknown issuer"},
        {"expired", false, "localhost", ca, ComTlsExpiredError, "expired certificate"},
        {"good", true, "127.0.0.1", ca, ComTlsCertRequiredError, "requires a client certificate"},
        {"good", true, "127.0.0.1", ca + foreign, ComTlsCertRefusedError,
         "refused the client certificate"},
        {"", false, "127.0.0.1", ca, ComTlsHandshakeError, "handshake"},
        {"good", false, "127.0.0.1", "?ca=" + certs.Ca() + ".missing", ComTlsFilesError,
         "cannot be read"},
    };
    for (const auto& c : cases) {
        SimulatedBoard sim;
        const bool tls = *c.server != 0;
        Ser2Net server(sim.SlavePath(), 0,
                       tls ? certs.Accepter(c.server, c.clientAuth) : TlsAccepter{});
        ASSERT_TRUE(server.Running());
        const std::string url =
            "rfc2217s://" + std::string(c.host) + ":" + std::to_string(server.TcpPort()) + c.query;
        SCOPED_TRACE(std::string(c.server) + (c.clientAuth ? " asking for a client, " : ", ") +
                     url);
        updaterun::Replies replies;
        try {
            ComPortRunLine line(url, replies);
            EXPECT_EQ(c.error, 0) << "opened";
            IdentifyAndAskStatus(line, replies);
        } catch (const EComPort& e) {
            EXPECT_EQ(e.MessageCode, mcOpenFailed);
            EXPECT_EQ(e.WinErrorCode, c.error);
            const std::string english = OpenFailureCause(e.WinErrorCode, CauseLanguage::English);
            EXPECT_TRUE(Has(english, c.words)) << english;
            EXPECT_NE(OpenFailureCause(e.WinErrorCode), english);
            EXPECT_TRUE(Has(RecordedCause(e.WinErrorCode), "(TLS)"));
        }
    }
}
