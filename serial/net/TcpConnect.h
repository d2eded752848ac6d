#pragma once
// A TCP connection to a network port's server, as the port and the reachability check make it.
#include "serial/net/NetAddress.h"

// Unacknowledged bytes older than this end a port's connection.
inline constexpr unsigned TcpUserTimeoutMs = 5000;

// Connects to the first of the host's addresses that takes the connection within `limitMs`
// each: 0 and the non-blocking socket in `fd`, with the port's socket options; otherwise the
// last address's error (ComHostNotFoundError for an unknown name).
int ConnectTcp(const TNetAddress& address, int limitMs, int& fd);
