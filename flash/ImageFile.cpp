#include "flash/ImageFile.h"

#include "flash/Printable.h"
#include "flash/SystemError.h"
#include "flash/Texts.h"
#include "framework/Sha256.h"
#include "updater/BoardContract.h"
#include "updater/FirmwareImage.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Hex2(int value) {
    const char digits[] = "0123456789ABCDEF";
    return {digits[value >> 4 & 15], digits[value & 15]};
}

std::string Hex6(uint32_t value) {
    return Hex2(value >> 16 & 255) + Hex2(value >> 8 & 255) + Hex2(value & 255);
}

// What is wrong with one record, empty when it is sound. `type` is set for a sound record.
std::string RecordFault(const std::string& line, int& type, std::vector<int>& bytes) {
    if (line[0] != ':')
        return Tr("not a record (it must begin with ':')");
    if (line.size() % 2 == 0)
        return TrFormat("odd length (%d hex digits after ':')",
                        {static_cast<int>(line.size() - 1)});
    bytes.clear();
    for (size_t i = 1; i < line.size(); i += 2) {
        int high = HexDigit(line[i]), low = HexDigit(line[i + 1]);
        if (high < 0 || low < 0)
            return TrFormat("not a hexadecimal digit at column %d",
                            {static_cast<int>(high < 0 ? i + 1 : i + 2)});
        bytes.push_back(high * 16 + low);
    }
    if (bytes.size() < 5)
        return Tr("too short for a record");
    if (static_cast<size_t>(bytes[0]) + 5 != bytes.size())
        return TrFormat("its length byte says %d data bytes, the line holds %d",
                        {bytes[0], static_cast<int>(bytes.size()) - 5});
    int sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    int expected = (256 - sum % 256) % 256;
    if (bytes.back() != expected)
        return TrFormat("bad checksum %s (should be %s)", {Hex2(bytes.back()), Hex2(expected)});
    type = bytes[3];
    if (type > 5)
        return TrFormat("bad record type %s", {Hex2(type)});
    // The loader places data by 00 and 04 only; a segment address would move it elsewhere.
    if (type == 2)
        return Tr("record type 02 (extended segment address) is not supported");
    return {};
}

// Why `text` is no Intel HEX file at all, or empty when it may be one.
std::string NotHexFault(const std::string& text) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return Tr("the file is empty");
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        return Tr("it begins with a byte order mark (save it as plain ASCII)");
    for (unsigned char c : text)
        if (c == 0 || c >= 0x80)
            return Tr("it holds binary data");
    if (text[text.find_first_not_of(" \t\r\n")] != ':')
        return Tr("its first line is no record (records begin with ':')");
    return {};
}

// The built-in image is trusted and its loader skips what it cannot read; a file from
// elsewhere is checked record by record first, so a damaged build is refused, not half sent.
bool CheckRecords(const std::string& path, const std::string& text, ImageFileFacts& facts,
                  std::string& error) {
    if (std::string fault = NotHexFault(text); !fault.empty()) {
        error = TrFormat("%s is not an Intel HEX file: %s", {Printable(path), fault});
        return false;
    }
    std::istringstream in(text);
    std::string line;
    int number = 0, endLine = 0;
    // The line that gave each address of the board's flash its byte, 0 for none yet.
    std::vector<int> lineOf(0x10000, 0);
    uint32_t upper = 0;
    bool any = false;
    std::vector<int> bytes;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (endLine) {
            error = TrFormat("%s, line %d: a record after the end-of-file record (line %d)",
                             {path, number, endLine});
            return false;
        }
        int type = 0;
        if (std::string fault = RecordFault(line, type, bytes); !fault.empty()) {
            error = TrFormat("%s, line %d: %s", {path, number, fault});
            return false;
        }
        ++facts.Records;
        if (type == 3 || type == 5)
            ++facts.StartRecords;
        if (type == 1)
            endLine = number;
        else if (type == 4 && bytes[0] == 2)
            upper = static_cast<uint32_t>(bytes[4] << 8 | bytes[5]) << 16;
        else if (type == 0 && bytes[0] > 0) {
            uint32_t first = upper | static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
            uint32_t last = first + bytes[0] - 1;
            // The board's addresses are 16 bits: a byte beyond would land at the wrong place.
            if (last > 0xFFFF) {
                error = TrFormat("%s, line %d: data up to 0x%s, beyond 0xFFFF where the board's "
                                 "flash ends",
                                 {Printable(path), number, Hex6(last)});
                return false;
            }
            for (uint32_t a = first; a <= last; ++a) {
                if (lineOf[a] != 0) {
                    error = TrFormat("%s, line %d: data at 0x%s overlaps line %d",
                                     {Printable(path), number, Hex6(a).substr(2), lineOf[a]});
                    return false;
                }
                lineOf[a] = number;
            }
            facts.Lowest = any ? std::min(facts.Lowest, first) : first;
            facts.Highest = any ? std::max(facts.Highest, last) : last;
            facts.DataBytes += bytes[0];
            for (uint32_t a = first; a <= last; ++a)
                facts.OutsideBytes += a < BoardContract::FirstApplicationAddress;
            any = true;
        }
    }
    if (!endLine) {
        // A file cut short (a copy that stopped, a truncated download) would flash as if whole.
        error = TrFormat("%s: no end-of-file record (:00000001FF) after line %d", {path, number});
        return false;
    }
    return true;
}

} // namespace

bool LoadImageFile(const std::string& path, ImageFileFacts& facts, std::string& error) {
    facts = {};
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = TrFormat("%s is a folder, not an Intel HEX file", {path});
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = TrFormat("cannot read the image file %s: %s",
                         {Printable(path), SystemErrorWords(errno)});
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!CheckRecords(path, text, facts, error))
        return false;
    LoadIntelHex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    bool sendable = false;
    for (FirmwareBlock* b = FirstBlock; b; b = b->Next)
        sendable = sendable || b->Address() >= BoardContract::FirstApplicationAddress;
    if (!sendable) {
        error = TrFormat("%s has no data at or above address 0x800", {path});
        return false;
    }
    facts.Blocks = BlockCount;
    Sha256 digest;
    digest.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    facts.Sha256 = digest.HexDigest();
    return true;
}

std::string DescribeImageFile(const std::string& path, const ImageFileFacts& facts) {
    char range[32];
    std::snprintf(range, sizeof range, "0x%06X-0x%06X", static_cast<unsigned>(facts.Lowest),
                  static_cast<unsigned>(facts.Highest));
    int wire = 0, dataSent = 0;
    for (FirmwareBlock* b = FirstBlock; b; b = b->Next) {
        if (b->Address() < BoardContract::FirstApplicationAddress)
            continue;
        wire += 15 + b->Count + 4; // the frame and its answer
        dataSent += b->Count;
    }
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%.1f", wire * 10.0 / 19200);
    std::string text = TrFormat("%s: %d records with checksums, end-of-file record in place\n",
                                {path, facts.Records});
    text += TrFormat("  data: %d bytes at %s\n", {facts.DataBytes, std::string(range)});
    if (facts.OutsideBytes > 0)
        text += TrPlural("  %d byte lies below 0x0800 (the boot monitor's area) and is not sent\n",
                         "  %d bytes lie below 0x0800 (the boot monitor's area) and are not sent\n",
                         facts.OutsideBytes, {facts.OutsideBytes});
    // A start address is for a processor that jumps there after loading; the board's boot
    // monitor always starts the firmware at its own place.
    if (facts.StartRecords > 0)
        text += TrPlural("  %d start address record (type 03 or 05) is ignored: the board starts "
                         "its firmware on its own\n",
                         "  %d start address records (type 03 or 05) are ignored: the board "
                         "starts its firmware on its own\n",
                         facts.StartRecords, {facts.StartRecords});
    text += TrPlural("  would send: %d block of at most 64 bytes (%d data bytes, %d bytes on the "
                     "wire with the answers, about %s s at 19200 baud)\n",
                     "  would send: %d blocks of at most 64 bytes (%d data bytes, %d bytes on the "
                     "wire with the answers, about %s s at 19200 baud)\n",
                     facts.Blocks, {facts.Blocks, dataSent, wire, std::string(seconds)});
    text += TrFormat("  SHA-256: %s\n", {facts.Sha256});
    return text;
}
