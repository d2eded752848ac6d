// The service log's writer and the --history reader, in-process: what one writes the other
// reads back, and what is no record stays unread.
#include "flash/History.h"
#include "updater/UpdateLog.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// Every byte below 0x20, and DEL.
std::string Controls() {
    std::string text;
    for (int c = 0; c < 0x20; ++c)
        text += static_cast<char>(c);
    return text + '\x7f';
}

// The record with every field set, each to `text` behind its own name so a swap shows.
UpdateRecord EveryField(const std::string& text, bool fromFile) {
    UpdateRecord r;
    r.Start = "start " + text;
    r.End = "end " + text;
    r.Port = "port " + text;
    r.Board = "board " + text;
    r.SerialNumber = "serial " + text;
    r.Socket = "socket " + text;
    r.FirmwareBefore = "before " + text;
    r.MonitorVersion = "monitor " + text;
    r.FirmwareWritten = "written " + text;
    if (fromFile) {
        r.ImageFile = "file " + text;
        r.ImageSha256 = "sha " + text;
    }
    r.Blocks = INT_MAX;
    r.BlockCount = 118;
    r.Resends = 0;
    r.Refusals = INT_MIN;
    r.Result = "result " + text;
    r.Reason = "reason " + text;
    r.HeldBy = "held " + text;
    r.Verified = fromFile;
    r.FirmwareAfter = "after " + text;
    return r;
}

// What the reader gives back for `r`, its texts as `text` reads back.
LogFields Expected(const UpdateRecord& r, const std::string& text, const std::string& readBack) {
    auto back = [&](const std::string& field) {
        return field.substr(0, field.size() - text.size()) + readBack;
    };
    LogFields f{{"start", back(r.Start)},
                {"end", back(r.End)},
                {"port", back(r.Port)},
                {"socket", back(r.Socket)},
                {"board", back(r.Board)},
                {"serial", back(r.SerialNumber)},
                {"firmware_before", back(r.FirmwareBefore)},
                {"monitor", back(r.MonitorVersion)},
                {"blocks", "2147483647"},
                {"block_count", "118"},
                {"resends", "0"},
                {"refusals", "-2147483648"},
                {"result", back(r.Result)},
                {"reason", back(r.Reason)},
                {"held_by", back(r.HeldBy)},
                {"verified", *r.Verified ? "true" : "false"},
                {"firmware_after", back(r.FirmwareAfter)}};
    // A file's image is named by the file; the built-in one by its version.
    if (r.ImageFile.empty()) {
        f["firmware_written"] = back(r.FirmwareWritten);
    } else {
        f["image_file"] = back(r.ImageFile);
        f["image_sha256"] = back(r.ImageSha256);
    }
    return f;
}

} // namespace

TEST(History, EveryRecordFieldReadsBackAsWritten) {
    struct Case {
        const char* Name;
        std::string Text;
        std::string ReadBack; // empty: `Text` itself
    };
    const Case cases[] = {
        {"plain", "KX27 A10342 4.4", ""},
        {"empty", "", ""},
        {"quotes and backslashes", R"(a"b\c\"\\"\u0041\n)", ""},
        {"control bytes and NUL", Controls(), ""},
        {"UTF-8", "S\xC3\xA3o Jo\xC3\xA3o \xE2\x80\x93 \xE2\x9C\x93 \xF0\x9F\x98\x80", ""},
        {"what looks like more fields", R"(x","result":"forged","port":"y"})", ""},
        {"a long text", std::string(100000, 'K') + "\xC3\xA7\"\x01", ""},
        // Bytes that are not UTF-8 are kept as the characters of the same number: the line
        // stays valid, the byte is not lost.
        {"bytes that are not UTF-8", "\xFF\xC3|\xE2\x82|\x80",
         "\xC3\xBF\xC3\x83|\xC3\xA2\xC2\x82|\xC2\x80"},
    };
    for (const Case& c : cases) {
        for (const bool fromFile : {false, true}) {
            SCOPED_TRACE(std::string(c.Name) + (fromFile ? ", image file" : ", built-in image"));
            const UpdateRecord r = EveryField(c.Text, fromFile);
            const std::string line = UpdateRecordJson(r);
            EXPECT_EQ(line.find('\n'), std::string::npos);
            LogFields read;
            ASSERT_TRUE(ReadLogRecord(line, read)) << line.substr(0, 300);
            EXPECT_EQ(read, Expected(r, c.Text, c.ReadBack.empty() ? c.Text : c.ReadBack));
        }
    }
}

TEST(History, ReaderTakesWholeFlatRecordsOnly) {
    const std::string brackets(1 << 20, '[');
    struct Case {
        const char* Name;
        std::string Line;
        bool Read;
        LogFields Fields = {};
    };
    const Case cases[] = {
        // As earlier versions wrote them: escapes \u00XX for controls and stray bytes.
        {"an older record",
         R"({"start":"2026-12-08T09:00:00Z","port":"/dev/tty\u001b","board":"K\u000aX\u0000\u00ff","blocks":430,"result":"completed","verified":true})",
         true,
         {{"start", "2026-12-08T09:00:00Z"},
          {"port", "/dev/tty\x1b"},
          {"board", std::string("K\nX\0\xC3\xBF", 6)},
          {"blocks", "430"},
          {"result", "completed"},
          {"verified", "true"}}},
        {"blanks and a carriage return",
         " { \"result\" : \"given-up\" , \"blocks\" : 3 }\r",
         true,
         {{"result", "given-up"}, {"blocks", "3"}}},
        {"no result", R"({"start":"2026-12-08T09:00:00Z","port":"x"})", false},
        {"an empty result", R"({"result":""})", false},
        {"cut short", R"({"start":"2026-12-08T09:00:00Z","res)", false},
        {"torn with the next glued on", R"({"port":"a","res{"port":"b","result":"completed"})",
         false},
        {"two records on one line", R"({"result":"a"}{"result":"b"})", false},
        {"a nested object", R"({"result":"completed","x":{"a":1}})", false},
        {"a nested array", R"({"result":"completed","x":[1]})", false},
        {"an array", R"([{"result":"completed"}])", false},
        {"a string", R"("result")", false},
        {"raw control byte in a string", "{\"result\":\"a\x01\"}", false},
        {"a bad escape", R"({"result":"\x"})", false},
        {"a lone surrogate", R"({"result":"\ud800"})", false},
        {"a bare word", R"({"result":completed})", false},
        {"a megabyte of brackets", brackets, false},
        {"another program's text", "Dec  8 09:00:00 host kernel: usb 1-1: new device", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        LogFields read;
        EXPECT_EQ(ReadLogRecord(c.Line, read), c.Read);
        if (c.Read) {
            EXPECT_EQ(read, c.Fields);
        }
    }
}
