#pragma once
// Text read from outside (a log, a port or link name, a board's reply) made safe for a
// terminal: a stray escape sequence must not clear the screen or move the cursor.
#include <string>

// Well-formed UTF-8 passes as it is; control bytes (C0, DEL, C1) and bytes that are not UTF-8
// come out as \xNN.
std::string Printable(const std::string& text);
