#pragma once
// quorvel-flash --list: the ports the window would list, in its order, with what the system
// knows of each adapter and who holds it.
#include "serial/ComPortInfo.h"

#include <cstdio>
#include <string>
#include <vector>

void PrintPortList(std::FILE* out, bool json);

// "cat (pid 1234), minicom (pid 99)", or "another program" when the system names none.
std::string HoldersText(const std::vector<ComPortHolder>& holders);
