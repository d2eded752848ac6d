#pragma once
// quorvel-flash --history: the service log read back, as a table, as its raw lines or as one
// line per day.
#include <cstdio>
#include <map>
#include <string>

struct HistoryRequest {
    std::string LogPath;
    std::string Filter; // a serial number or a port; empty: every record
    bool Json = false;
    bool Summary = false;
};

enum class HistoryResult {
    Printed,
    NoRecords,  // none, or none of the board or port asked for: said on standard error
    Unreadable, // the log cannot be read: `error` says why
};

// Prints the records of `request` to `out`, newest last, under a line naming the log (text
// only). Lines that are no whole record are counted on standard error, never in a total.
HistoryResult PrintHistory(std::FILE* out, const HistoryRequest& request, std::string& error);

// One line of the service log read back: its fields as text (numbers and true/false as they
// stand in the line). False for anything but a flat JSON object with a result; never throws.
using LogFields = std::map<std::string, std::string>;
bool ReadLogRecord(const std::string& line, LogFields& fields);
