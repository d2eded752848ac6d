#pragma once
// Network serial ports are named by URL: rfc2217://host:port, rfc2217://[v6]:port, and
// rfc2217s:// for the same over TLS, which may name its files in a query:
// rfc2217s://host:port?ca=/etc/quorvel/ca.pem&cert=/home/t/bench.pem&key=/home/t/bench.key
#include <string>

struct TNetAddress {
    bool Tls = false;
    std::string Host; // without the brackets of an IPv6 literal
    std::string Service;
    // TLS only: the server's certificate authorities (empty: the system's trust store), and the
    // client certificate and its key for servers that ask for one (the key defaults to the
    // certificate's file). Paths as given, %XX decoded.
    std::string CaFile, CertFile, KeyFile;
};

// True when the name has a network port's scheme, well formed or not.
bool IsNetPortName(const std::string& port);
// False when the name is not a well-formed network port URL.
bool ParseNetAddress(const std::string& port, TNetAddress& address);
