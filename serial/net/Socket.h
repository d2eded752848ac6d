#pragma once
// The TCP socket under a network port, one file per system: posix/ (BSD sockets, an eventfd to
// wake a waiting thread) and win32/ (Winsock, a loopback datagram socket for the wake). Calls
// return 0 or the system's error number (errno; WSAGetLastError's on Windows), which the port
// reports as its own.
#include "serial/net/NetAddress.h"

#include <cstddef>
#include <cstdint>

// A file descriptor, or a Winsock SOCKET.
using TSocket = std::intptr_t;
inline constexpr TSocket NoSocket = -1;

// Unacknowledged bytes older than this end a port's connection.
inline constexpr unsigned TcpUserTimeoutMs = 5000;

// The system's numbers for what the network port finds wrong itself.
extern const int NetInvalidError;    // a malformed port URL, or a line setting out of range
extern const int NetNotRfc2217Error; // the server does not take the serial port option
extern const int NetClosedError;     // the server closed the connection in order

// Connects to the first of the host's addresses that takes the connection within `limitMs`
// each: 0 and the non-blocking socket in `s`, with the port's socket options (no Nagle,
// keep-alive, the limit on unacknowledged bytes); otherwise the last address's error
// (ComHostNotFoundError for an unknown name).
int ConnectTcp(const TNetAddress& address, int limitMs, TSocket& s);
// `dropUnsent`: bytes not yet sent are thrown away (the connection is reset, not waited for).
void CloseSocket(TSocket s, bool dropUnsent);

// What the socket takes now; `sent` is 0 when its buffer is full. A peer that went away is
// the connection's reset.
int SocketSend(TSocket s, const void* bytes, size_t count, size_t& sent);
// What has arrived; `got` is 0 when nothing has. NetClosedError once the server closed.
int SocketRecv(TSocket s, void* buffer, size_t size, size_t& got);
// The bytes sent that the server has not yet taken, as far as the system tells.
int SocketUnsent(TSocket s, int& count);
// The error a failed socket holds; the connection's reset if it holds none.
int SocketError(TSocket s);

// Wakes a thread waiting on a socket, from any thread.
struct TSocketWake {
    TSocket Handle = NoSocket;
};
int OpenWake(TSocketWake& wake);
void Wake(const TSocketWake& wake);
void CloseWake(TSocketWake& wake);

inline constexpr unsigned SocketReadable = 1, SocketWritable = 2, SocketFailed = 4, SocketWoken = 8;
// Waits until the socket can do what `want` asks (SocketReadable, SocketWritable or neither),
// fails or hangs up, `wake` is woken (then it is reset), or `timeoutMs` pass (-1: no limit;
// `ready` is then 0).
int WaitSocket(TSocket s, unsigned want, const TSocketWake* wake, int timeoutMs, unsigned& ready);
