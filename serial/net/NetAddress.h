#pragma once
// Network serial ports are named by URL: rfc2217://host:port, rfc2217://[v6]:port, and
// rfc2217s:// for the same over TLS.
#include <string>

struct TNetAddress {
    bool Tls = false;
    std::string Host; // without the brackets of an IPv6 literal
    std::string Service;
};

// True when the name has a network port's scheme, well formed or not.
bool IsNetPortName(const std::string& port);
// False when the name is not a well-formed network port URL.
bool ParseNetAddress(const std::string& port, TNetAddress& address);
