#pragma once
// The service record: one JSON line per board and attempt, appended to a log that the window
// and the command-line flasher share.
#include <string>

struct UpdateRecord {
    std::string Start, End; // ISO 8601 UTC
    std::string Port, Board, SerialNumber, FirmwareBefore, MonitorVersion, FirmwareWritten,
        ImageFile, ImageSha256;
    int Blocks = 0, BlockCount = 0, Resends = 0, Refusals = 0;
    std::string Result;
};

// One line, no newline.
std::string UpdateRecordJson(const UpdateRecord& r);
// $XDG_DATA_HOME or ~/.local/share, + /quorvel/updates.jsonl
std::string DefaultUpdateLogPath();
// O_APPEND, one write, makes the folder.
bool AppendUpdateRecord(const std::string& path, const UpdateRecord& r, std::string& error);
