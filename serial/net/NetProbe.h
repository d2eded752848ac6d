#pragma once
// Whether network ports' servers can be reached, for a port list: a connect, nothing sent.
#include <string>
#include <vector>

// One answer per name, all tried at once, within about `limitMs` in all (a host name the
// resolver is slow to answer may add its own time). A malformed name is unreachable.
std::vector<bool> NetPortsReachable(const std::vector<std::string>& ports, int limitMs);
