#include "flash/RemotePorts.h"

#include "flash/Texts.h"
#include "framework/Json.h"
#include "serial/net/NetProbe.h"

#include <thread>

namespace {
// A connect on the bench network takes milliseconds; a second for all of them together.
constexpr int reachLimitMs = 1000;
} // namespace

std::vector<TNamedPort> LoadNamedPorts(std::FILE* warnings) {
    std::vector<TPortsConfProblem> problems;
    std::vector<TNamedPort> named = NamedNetPorts(problems);
    for (const TPortsConfProblem& p : problems)
        std::fprintf(warnings, "quorvel-flash: %s\n",
                     TrFormat("%s:%d: not a \"name = rfc2217://host:port\" line, skipped: %s",
                              {p.File, p.Line, p.Text})
                         .c_str());
    return named;
}

std::vector<std::string> ResolvePortNames(const std::vector<std::string>& ports,
                                          const std::vector<TNamedPort>& named) {
    std::vector<std::string> resolved;
    for (const std::string& port : ports)
        resolved.push_back(ResolvePortName(port, named));
    return resolved;
}

void PrintRemotePorts(std::FILE* out, bool json, bool comma, const std::vector<TNamedPort>& named) {
    std::vector<std::string> urls;
    for (const TNamedPort& p : named)
        urls.push_back(p.Url);
    const std::vector<bool> reachable = NetPortsReachable(urls, reachLimitMs);
    for (size_t i = 0; i < named.size(); ++i) {
        if (json) {
            std::fprintf(out, "%s\n {\"port\":%s,\"name\":%s,\"remote\":true,\"reachable\":%s}",
                         comma || i > 0 ? "," : "", JsonQuoted(named[i].Url).c_str(),
                         JsonQuoted(named[i].Name).c_str(), reachable[i] ? "true" : "false");
            continue;
        }
        // Who holds a remote port is the server's business: it is only called remote here.
        std::fprintf(
            out, "%s\n",
            TrFormat("%s  %s  remote, %s", {named[i].Name, named[i].Url,
                                            reachable[i] ? Tr("reachable") : Tr("unreachable")})
                .c_str());
    }
}

bool ReachCheck::Reachable() {
    const int state = state_->load();
    if (state == Looking)
        return false;
    if (state == Found) {
        *state_ = Idle;
        return true;
    }
    *state_ = Looking;
    std::thread([state = state_, url = url_] {
        *state = NetPortsReachable({url}, reachLimitMs)[0] ? Found : NotFound;
    }).detach();
    return false;
}
