#pragma once
// Appending one line to a file that several programs share (two flashers and the window may
// write one service log). One file per system (posix/, win32/).
#include <string>

// Appends `line` (without its line end) under an exclusive lock of the file, on a new line if
// the file does not end in one, and flushes it to the disk. A line that cannot be written
// whole is cut back off, so the file never holds a torn line. False with `error` set to the
// system's cause (English) and `errorCode` to its code (errno; a Windows error code) when the
// line is not in the file.
bool AppendLogLine(const std::string& path, const std::string& line, std::string& error,
                   int& errorCode);
