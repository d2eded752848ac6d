#pragma once
// Network serial port servers started by a test on 127.0.0.1, in front of a local device
// (usually the board simulator's pseudo-terminal): Debian's ser2net and the RFC 2217 example
// server of python3-serial. Each runs as a child process, killed when the object goes.
#include "tests/support/TestFiles.h"

#include <string>
#include <vector>

#include <netinet/in.h>

class ChildServer {
public:
    ChildServer() = default;
    ~ChildServer();
    ChildServer(const ChildServer&) = delete;
    ChildServer& operator=(const ChildServer&) = delete;

    // "rfc2217://127.0.0.1:PORT" ("rfc2217s://" over TLS).
    std::string Url() const;
    int TcpPort() const { return tcpPort_; }
    bool Running() const { return pid_ > 0; }
    // Like a crash or a power cut of the server: SIGKILL, reaped.
    void Kill();

protected:
    // Starts `argv` and waits until the port takes connections; false if it never did.
    bool Start(const std::vector<std::string>& argv, int tcpPort);
    bool tls_ = false;

private:
    int pid_ = -1;
    int tcpPort_ = 0;
};

// A TCP port on 127.0.0.1 nobody listens on at the moment of asking.
int FreeTcpPort();
// 127.0.0.1 and `port`, for bind() and connect().
sockaddr_in LoopbackAddress(int port);

// A TLS accepter's certificate and key, and the folder where ser2net looks up the authority of
// a client certificate by the certificate's name (empty: it asks for none).
struct TlsAccepter {
    std::string Cert, Key, AuthDir;
};

class Ser2Net : public ChildServer {
public:
    // ser2net with a telnet(rfc2217) accepter in front of `device`, over TLS when `tls` has a
    // certificate; `tcpPort` 0 takes a free one.
    explicit Ser2Net(const std::string& device, int tcpPort = 0, const TlsAccepter& tls = {});

private:
    TempDir dir_; // its configuration, removed with it
};

class PySerialServer : public ChildServer {
public:
    explicit PySerialServer(const std::string& device);
};
