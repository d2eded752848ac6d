#pragma once
// quorvel-flash --list: the ports the window would list, in its order, with what the system
// knows of each adapter and whether another program holds it.
#include <cstdio>

void PrintPortList(std::FILE* out, bool json);
