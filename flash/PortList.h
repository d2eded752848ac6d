#pragma once
// quorvel-flash --list: the ports the window would list, in its order, with what the system
// knows of each adapter and who holds it.
#include "serial/ComPortInfo.h"

#include <cstdio>
#include <string>
#include <vector>

// The serial ports in `folder` (--all-in); false with the reason on standard error when the
// folder cannot be read.
bool ReadPortFolder(const std::string& folder, std::vector<std::string>& ports);

// `ports`: the system's list (EnumComPorts), or the ports of an --all-in folder.
void PrintPortList(std::FILE* out, bool json, const std::vector<std::string>& ports);

// "cat (pid 1234), minicom (pid 99)", or "another program" when the system names none.
// Names come as the system gives them: escape them before they reach a terminal.
std::string HoldersText(const std::vector<ComPortHolder>& holders);
// The same for records and events, the same in every language; empty when no one is named.
std::string HeldBy(const std::vector<ComPortHolder>& holders);
