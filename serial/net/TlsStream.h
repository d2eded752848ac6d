#pragma once
// TLS over a network port's connected, non-blocking socket (rfc2217s://): OpenSSL on Linux
// (posix/TlsStream.cpp); the Windows build has none (win32/TlsStream.cpp refuses such ports). The
// server's certificate is checked against the URL's CA file or the system's trust store, and
// its name against the URL's host; a client certificate goes to a server that asks for one.
// Sends and receives may come from different threads.
#include "serial/net/NetAddress.h"
#include "serial/net/Socket.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

struct ssl_st;

class TTlsStream {
public:
    // The handshake on `fd` within `limitMs`: 0 and the stream, or the check that failed
    // (ComTls*Error), ETIMEDOUT, or the connection's error. The socket stays the caller's.
    // False in a build without TLS: such a port is refused before any connection is made.
    static bool Available();
    static int Start(TSocket s, const TNetAddress& address, int limitMs,
                     std::unique_ptr<TTlsStream>& stream);
    ~TTlsStream();
    TTlsStream(const TTlsStream&) = delete;
    TTlsStream& operator=(const TTlsStream&) = delete;

    // Like send(): 0 and the bytes taken in `sent` (none when it would block), or the
    // connection's error. Bytes once taken go out before any later ones.
    int Send(const char* data, size_t size, size_t& sent);
    // Like recv(): 0 and the bytes in `got` (none when it would block), or the connection's
    // error (NetClosedError when the server closed it).
    int Recv(char* buffer, size_t size, size_t& got);
    // What a Send or a Recv that moved nothing waits for (SocketReadable or SocketWritable).
    unsigned SendWaitsFor();
    unsigned RecvWaitsFor();
    // Bytes decrypted already, which a poll on the socket cannot see.
    size_t Pending();

private:
    TTlsStream() = default;
    int Handshake(TSocket s, int limitMs);
    int Flush();
    int Failure(int result, unsigned& waitsFor);

    std::mutex mutex_; // OpenSSL takes one call at a time on a connection
    ssl_st* ssl_ = nullptr;
    std::string unsent_; // taken by Send, not yet through OpenSSL
    unsigned sendWaitsFor_ = SocketWritable, recvWaitsFor_ = SocketReadable;
    bool certificateRequested_ = false, certificateGiven_ = false, received_ = false;
};
