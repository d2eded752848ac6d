#include "flash/History.h"

#include "flash/Printable.h"
#include "flash/SystemError.h"
#include "flash/Texts.h"
#include "framework/Json.h"
#include "updater/OpenFailure.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

struct Line {
    LogFields Fields;
    std::string Raw;
};

// A record is a few hundred bytes; a line far longer is no record, and is skipped without
// being held in memory.
constexpr size_t MaxLineBytes = 1 << 20;

// The next line of `in` without its line break; false at the end. `tooLong` tells a line
// longer than MaxLineBytes, of which only the start is kept.
bool NextLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf& buffer = *in.rdbuf();
    for (int c = buffer.sbumpc(); c != std::char_traits<char>::eof(); c = buffer.sbumpc()) {
        if (c == '\n')
            return true;
        if (line.size() < MaxLineBytes)
            line += static_cast<char>(c);
        else
            tooLong = true;
    }
    return !line.empty() || tooLong;
}

std::string Get(const LogFields& r, const char* key) {
    auto found = r.find(key);
    return found == r.end() ? std::string() : found->second;
}

// A flat object's fields taken as the parser meets them, values as text (numbers and
// true/false as they stand). Anything nested stops the parse at once: no record has it, and a
// line of brackets then costs nothing.
struct FlatRecordReader : nlohmann::json_sax<nlohmann::json> {
    explicit FlatRecordReader(LogFields& fields) : fields_(fields) {}

    bool null() override { return Value("null"); }
    bool boolean(bool value) override { return Value(value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override { return Value(std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Value(std::to_string(value)); }
    bool number_float(number_float_t, const string_t& text) override { return Value(text); }
    bool string(string_t& text) override { return Value(std::move(text)); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return depth_++ == 0; }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override { return depth_-- == 1; }
    bool start_array(std::size_t) override { return false; }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    // Values belong only directly in the record.
    bool Value(std::string text) {
        if (depth_ != 1)
            return false;
        fields_[key_] = std::move(text);
        return true;
    }

    LogFields& fields_;
    int depth_ = 0;
    std::string key_;
};

// Seconds since 1970 of "2026-12-08T07:01:10Z" (or with milliseconds); -1 when unreadable.
long long Seconds(const std::string& iso) {
    std::tm tm{};
    if (iso.size() < 19 ||
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
#ifdef _WIN32
    return _mkgmtime(&tm);
#else
    return timegm(&tm);
#endif
}

std::string Duration(const LogFields& r) {
    long long start = Seconds(Get(r, "start")), end = Seconds(Get(r, "end"));
    if (start < 0 || end < start)
        return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld", (end - start) / 60, (end - start) % 60);
    return text;
}

// "ttyUSB0" finds "/dev/ttyUSB0" too.
bool Matches(const LogFields& r, const std::string& filter) {
    if (filter.empty())
        return true;
    const std::string port = Get(r, "port");
    return Get(r, "serial") == filter || port == filter ||
           (filter.find('/') == std::string::npos && port == "/dev/" + filter);
}

std::string Versions(const LogFields& r) {
    std::string before = Get(r, "firmware_before");
    // What was written only where a transfer completed.
    const bool completed = Get(r, "result") == "completed";
    std::string written = completed ? Get(r, "firmware_written") : std::string();
    if (written.empty() && completed && !Get(r, "image_file").empty())
        written = Tr("file");
    if (before.empty() && written.empty())
        return "-";
    return (before.empty() ? "?" : before) + (written.empty() ? "" : " -> " + written);
}

// A record's result word in the user's language (the log keeps the English word, which is
// also the message key); a word this version does not know is shown as it is.
std::string ResultText(const std::string& result) {
    return result.empty() ? std::string("-") : Printable(Tr(result.c_str()));
}

// A reason is a result word and, after ": ", its cause in English: the word is translated.
std::string ReasonText(const std::string& reason) {
    if (reason.empty())
        return {};
    const size_t colon = reason.find(": ");
    if (colon == std::string::npos)
        return ResultText(reason);
    return ResultText(reason.substr(0, colon)) + Printable(reason.substr(colon));
}

// Columns padded to their widest cell; the last column runs on.
void PrintTable(std::FILE* out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            size_t width = 0;
            for (unsigned char ch : row[c])
                width += (ch & 0xC0) != 0x80; // characters, not bytes
            if (widths.size() <= c)
                widths.push_back(0);
            widths[c] = std::max(widths[c], width);
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 == row.size())
                break;
            size_t width = 0;
            for (unsigned char ch : row[c])
                width += (ch & 0xC0) != 0x80;
            line += std::string(widths[c] - width + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::fprintf(out, "%s\n", line.c_str());
    }
}

void PrintSummary(std::FILE* out, const std::vector<Line>& lines, bool json) {
    struct Day {
        int Updated = 0, Verified = 0, Failed = 0;
        std::map<std::string, int> Reasons;
    };
    std::map<std::string, Day> days;
    for (const Line& l : lines) {
        Day& day = days[Get(l.Fields, "start").substr(0, 10)];
        const std::string result = Get(l.Fields, "result");
        if (result == "completed") {
            ++day.Updated;
            if (Get(l.Fields, "verified") == "true")
                ++day.Verified;
        } else if (result == "verified") {
            ++day.Verified; // older logs: a restart seen, not a second update
        } else {
            ++day.Failed;
            ++day.Reasons[result];
        }
    }
    for (const auto& [date, day] : days) {
        if (json) {
            nlohmann::ordered_json byResult = nlohmann::ordered_json::object();
            for (const auto& [reason, count] : day.Reasons)
                byResult[reason] = count;
            const nlohmann::ordered_json line{{"day", date},
                                              {"updated", day.Updated},
                                              {"verified", day.Verified},
                                              {"failed", day.Failed},
                                              {"by_result", byResult}};
            std::fprintf(out, "%s\n", JsonLine(line).c_str());
            continue;
        }
        std::string line =
            date + "  " + TrPlural("%d updated", "%d updated", day.Updated, {day.Updated}) + ", ";
        if (day.Verified > 0)
            line += TrPlural("%d verified", "%d verified", day.Verified, {day.Verified}) + ", ";
        line += TrPlural("%d failed", "%d failed", day.Failed, {day.Failed});
        std::string reasons;
        for (const auto& [reason, count] : day.Reasons)
            reasons +=
                (reasons.empty() ? "" : ", ") + ResultText(reason) + " " + std::to_string(count);
        if (!reasons.empty())
            line += " (" + reasons + ")";
        std::fprintf(out, "%s\n", line.c_str());
    }
}

} // namespace

bool ReadLogRecord(const std::string& line, LogFields& fields) {
    fields.clear();
    FlatRecordReader reader{fields};
    // A whole record has its result.
    return nlohmann::json::sax_parse(line, &reader) && !Get(fields, "result").empty();
}

HistoryResult PrintHistory(std::FILE* out, const HistoryRequest& request, std::string& error) {
    const std::string logName = Printable(request.LogPath);
    std::ifstream in(request.LogPath, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) {
            error =
                TrFormat("cannot read the service log %s: %s", {logName, SystemErrorWords(errno)});
            return HistoryResult::Unreadable;
        }
        std::fprintf(stderr, "%s\n", TrFormat("no service records yet (%s)", {logName}).c_str());
        return HistoryResult::NoRecords;
    }
    std::vector<Line> lines;
    std::string raw;
    bool tooLong = false;
    int lineNumber = 0, unreadable = 0, firstUnreadable = 0;
    while (NextLine(in, raw, tooLong)) {
        ++lineNumber;
        if (!tooLong && raw.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        Line line;
        // Anything but a whole record (a line cut short, another program's text) is counted,
        // never guessed at.
        if (tooLong || !ReadLogRecord(raw, line.Fields)) {
            if (unreadable++ == 0)
                firstUnreadable = lineNumber;
            continue;
        }
        if (!Matches(line.Fields, request.Filter))
            continue;
        line.Raw = raw;
        lines.push_back(std::move(line));
    }
    if (unreadable > 0)
        std::fprintf(stderr, "%s\n",
                     TrPlural("%s: %d line unreadable (first at line %d)",
                              "%s: %d lines unreadable (first at line %d)", unreadable,
                              {logName, unreadable, firstUnreadable})
                         .c_str());
    if (lines.empty()) {
        std::fprintf(stderr, "%s\n",
                     (request.Filter.empty() ? TrFormat("no records in %s", {logName})
                                             : TrFormat("no records for %s in %s",
                                                        {Printable(request.Filter), logName}))
                         .c_str());
        return HistoryResult::NoRecords;
    }
    // Several programs append to one log: order by the time each attempt began.
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
        return Get(a.Fields, "start") < Get(b.Fields, "start");
    });
    if (!request.Json)
        std::fprintf(out, "%s\n", TrFormat("service log %s", {logName}).c_str());
    if (request.Summary) {
        PrintSummary(out, lines, request.Json);
        return HistoryResult::Printed;
    }
    if (request.Json) {
        for (const Line& l : lines)
            std::fprintf(out, "%s\n", l.Raw.c_str());
        return HistoryResult::Printed;
    }
    std::vector<std::vector<std::string>> rows{{Tr("time (UTC)"), Tr("port"), Tr("board"),
                                                Tr("serial"), Tr("firmware"), Tr("result"),
                                                Tr("duration"), Tr("reason")}};
    for (const Line& l : lines) {
        const LogFields& r = l.Fields;
        std::string time = Get(r, "start").substr(0, 19);
        if (time.size() > 10)
            time[10] = ' ';
        auto cell = [](const std::string& text) {
            return text.empty() ? std::string("-") : Printable(text);
        };
        rows.push_back({cell(time), cell(Get(r, "port")), cell(Get(r, "board")),
                        cell(Get(r, "serial")), Printable(Versions(r)),
                        ResultText(Get(r, "result")), Duration(r), ReasonText(Get(r, "reason"))});
    }
    PrintTable(out, rows);
    return HistoryResult::Printed;
}
