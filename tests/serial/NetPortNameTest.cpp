// What a network port's name and the server's byte stream turn into, before any socket.
#include "serial/net/NetAddress.h"
#include "serial/net/Telnet.h"

#include <gtest/gtest.h>

TEST(NetPortName, UrlsParseOrAreRefused) {
    const struct {
        const char* name;
        bool ok;
        bool tls = false;
        const char* host = "";
        const char* service = "";
        const char* ca = "";
        const char* cert = "";
        const char* key = "";
    } cases[] = {
        {"rfc2217://10.0.4.23:4001", true, false, "10.0.4.23", "4001"},
        {"RFC2217://bench-3.plant:4001", true, false, "bench-3.plant", "4001"},
        {"rfc2217://[fe80::1]:7000", true, false, "fe80::1", "7000"},
        {"rfc2217s://bench:4433", true, true, "bench", "4433"},
        {"rfc2217s://bench:4433?ca=/etc/q/ca.pem", true, true, "bench", "4433", "/etc/q/ca.pem"},
        {"rfc2217s://[::1]:4433?cert=/h/b.pem&ca=/c%26a.pem&key=/h/b%20k.key", true, true, "::1",
         "4433", "/c&a.pem", "/h/b.pem", "/h/b k.key"},
        {"rfc2217s://bench:4433?cert=/h/b.pem", true, true, "bench", "4433", "", "/h/b.pem"},
        {"rfc2217s://bench:4433?key=/h/b.key", false}, // a key without its certificate
        {"rfc2217s://bench:4433?ca=/a&ca=/b", false},
        {"rfc2217s://bench:4433?ca=", false},
        {"rfc2217s://bench:4433?ca=/a%2", false},
        {"rfc2217s://bench:4433?user=t", false},
        {"rfc2217s://bench:4433?", false},
        {"rfc2217://bench:4001?ca=/etc/q/ca.pem", false}, // plain Telnet has no files to name
        {"rfc2217://fe80::1:7000", false},                // an IPv6 literal needs its brackets
        {"rfc2217://host", false},
        {"rfc2217://host:", false},
        {"rfc2217://:4001", false},
        {"rfc2217://host:0", false},
        {"rfc2217://host:65536", false},
        {"rfc2217://host:40a1", false},
        {"rfc2217://user@host:4001", false},
        {"rfc2217://[host]:4001", false},
        {"rfc2217://[::1]4001", false},
        {"ttyUSB0", false},
        {"tcp://host:4001", false},
    };
    for (const auto& c : cases) {
        TNetAddress a;
        EXPECT_EQ(ParseNetAddress(c.name, a), c.ok) << c.name;
        if (!c.ok)
            continue;
        EXPECT_TRUE(IsNetPortName(c.name));
        EXPECT_EQ(a.Tls, c.tls) << c.name;
        EXPECT_EQ(a.Host, c.host) << c.name;
        EXPECT_EQ(a.Service, c.service) << c.name;
        EXPECT_EQ(a.CaFile, c.ca) << c.name;
        EXPECT_EQ(a.CertFile, c.cert) << c.name;
        EXPECT_EQ(a.KeyFile, c.key) << c.name;
    }
    EXPECT_FALSE(IsNetPortName("/dev/ttyUSB0"));
}

// The server's stream in every cut: the data comes out whole and undoubled, the commands with
// their payloads unescaped, wherever the pieces end.
TEST(NetPortName, TelnetReaderSplitsDataAndCommands) {
    using namespace telnet;
    const std::string data = std::string("<DD>\xff\xff\x00\xfe", 8) + "(KX27)";
    const std::string modem = ComPortCommand(CpNotifyModemState + CpServerOffset, "\xff");
    const std::string stream = Negotiation(Do, OptComPort) + EscapeData(data.data(), 4) +
                               std::string{char(Iac), char(Nop)} + modem +
                               EscapeData(data.data() + 4, data.size() - 4) +
                               Negotiation(Will, OptBinary);
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        TReader reader;
        std::string out;
        std::vector<TCommand> commands;
        for (size_t i = 0; i < stream.size(); i += piece)
            reader.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + i,
                        std::min(piece, stream.size() - i), out, commands);
        ASSERT_EQ(out, data) << "pieces of " << piece;
        ASSERT_EQ(commands.size(), 3u);
        EXPECT_EQ(commands[0].Verb, Do);
        EXPECT_EQ(commands[0].Option, OptComPort);
        EXPECT_EQ(commands[1].Verb, Sb);
        EXPECT_EQ(commands[1].Option, OptComPort);
        EXPECT_EQ(commands[1].Payload, "\x6b\xff");
        EXPECT_EQ(commands[2].Verb, Will);
        EXPECT_EQ(commands[2].Option, OptBinary);
    }
    EXPECT_EQ(EscapeData("\xff", 1), "\xff\xff");
    EXPECT_EQ(ComPortCommand(CpSetBaudRate, std::string("\x00\x00\x4b\x00", 4)),
              std::string("\xff\xfa\x2c\x01\x00\x00\x4b\x00\xff\xf0", 10));
}
