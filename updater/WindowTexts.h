#pragma once
// The two fixed texts of the main window: the change log of the board's firmware and the
// help text. One array element per line.

extern const char* const ChangeLogLines[];
extern const int ChangeLogLinesCount;
extern const char* const HelpLines[];
extern const int HelpLinesCount;
