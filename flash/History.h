#pragma once
// quorvel-flash --history: the service log read back, as a table, as its raw lines or as one
// line per day.
#include <cstdio>
#include <string>

struct HistoryRequest {
    std::string LogPath;
    std::string Filter; // a serial number or a port; empty: every record
    bool Json = false;
    bool Summary = false;
};

// Prints the records of `request` to `out`, newest last. False with `error` set when the log
// cannot be read (a log not written yet is not an error: it has no records).
bool PrintHistory(std::FILE* out, const HistoryRequest& request, std::string& error);
