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

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A query value with its %XX escapes undone (a path may hold '&' or '%').
bool Unescaped(const std::string& value, std::string& out) {
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size() || HexValue(value[i + 1]) < 0 || HexValue(value[i + 2]) < 0)
            return false;
        out += static_cast<char>(HexValue(value[i + 1]) * 16 + HexValue(value[i + 2]));
        i += 2;
    }
    return !out.empty();
}

// "ca=...&cert=...&key=...", each at most once.
bool ParseTlsQuery(const std::string& query, TNetAddress& address) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const std::string item = query.substr(start, end - start);
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        std::string* target = key == "ca"     ? &address.CaFile
                              : key == "cert" ? &address.CertFile
                              : key == "key"  ? &address.KeyFile
                                              : nullptr;
        if (!target || equals == std::string::npos || !target->empty() ||
            !Unescaped(item.substr(equals + 1), *target))
            return false;
        start = end + 1;
    }
    // A key is the client certificate's.
    return address.KeyFile.empty() || !address.CertFile.empty();
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
    std::string rest = port.substr(address.Tls ? sizeof tlsScheme - 1 : sizeof plainScheme - 1);
    if (const size_t question = rest.find('?'); question != std::string::npos) {
        // Only TLS has files to name.
        if (!address.Tls || !ParseTlsQuery(rest.substr(question + 1), address))
            return false;
        rest.erase(question);
    }
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
