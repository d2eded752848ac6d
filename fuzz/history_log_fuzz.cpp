// links: quorvel_flash
// The service log as --history reads it, whatever the file holds: every line goes through the
// record reader. Holds: a line read is a record (it has a result), and its fields written out
// again as one line read back the same, so nothing the reader takes is lost by the writer.
#include "flash/History.h"
#include "framework/Json.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "history log: %s\n", what);
        std::abort();
    }
}

void ReadLine(const std::string& line) {
    LogFields fields;
    if (!ReadLogRecord(line, fields))
        return;
    Check(!fields["result"].empty(), "a record without its result");
    nlohmann::ordered_json again;
    for (const auto& [key, value] : fields)
        again[key] = value;
    LogFields back;
    Check(ReadLogRecord(JsonLine(again), back), "a record written again is unreadable");
    Check(back == fields, "a record written again reads back otherwise");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ReadLine(text.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
