#include "serial/net/NetAddress.h"

#include <algorithm>
#include <cctype>

namespace {

const char plainScheme[] = "rfc2217://";
const char tlsScheme[] = "rfc2217s://";

bool StartsWithFolded(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool ValidService(const std::string& service) {
    if (service.empty() || service.size() > 5 ||
        !std::all_of(service.begin(), service.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const long value = std::stol(service);
    return value >= 1 && value <= 65535;
}

bool ValidHost(const std::string& host) {
    return !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
        return c == '/' || c == '@' || c == '?' || c == '[' || c == ']' ||
               std::isspace(static_cast<unsigned char>(c));
    });
}

} // namespace

bool IsNetPortName(const std::string& port) {
    return StartsWithFolded(port, plainScheme) || StartsWithFolded(port, tlsScheme);
}

bool ParseNetAddress(const std::string& port, TNetAddress& address) {
    address = {};
    address.Tls = StartsWithFolded(port, tlsScheme);
    if (!address.Tls && !StartsWithFolded(port, plainScheme))
        return false;
    const std::string rest =
        port.substr(address.Tls ? sizeof tlsScheme - 1 : sizeof plainScheme - 1);
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        address.Host = rest.substr(1, close - 1);
        colon = close + 1;
        if (address.Host.find(':') == std::string::npos)
            return false;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos)
            return false;
        address.Host = rest.substr(0, colon);
        // An IPv6 literal without brackets cannot tell its port apart.
        if (address.Host.find(':') != std::string::npos)
            return false;
    }
    address.Service = rest.substr(colon + 1);
    const std::string& host = address.Host;
    const bool hostOk = host.find(':') != std::string::npos
                            ? std::all_of(host.begin(), host.end(),
                                          [](char c) {
                                              return std::isxdigit(static_cast<unsigned char>(c)) ||
                                                     c == ':' || c == '.' || c == '%';
                                          })
                            : ValidHost(host);
    return hostOk && ValidService(address.Service);
}
