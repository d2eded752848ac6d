#pragma once
// Network ports in the flasher: names from ports.conf resolved in one place, and their lines in
// --list.
#include "serial/net/PortsConf.h"

#include <cstdio>
#include <string>
#include <vector>

// The named ports of the ports.conf files; each skipped line is named on `warnings`.
std::vector<TNamedPort> LoadNamedPorts(std::FILE* warnings);
// Each name from the files becomes its URL; devices and URLs stay as given.
std::vector<std::string> ResolvePortNames(const std::vector<std::string>& ports,
                                          const std::vector<TNamedPort>& named);
// --list: one line (or JSON object, each after a comma when `comma`) per named port, with
// whether its server took a connection.
void PrintRemotePorts(std::FILE* out, bool json, bool comma, const std::vector<TNamedPort>& named);
