#include "flash/ImageFile.h"

#include "flash/Texts.h"
#include "framework/Sha256.h"
#include "updater/BoardContract.h"
#include "updater/FirmwareImage.h"

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

enum class HexProblem { None, Malformed, NoEnd, AfterEnd };

// The built-in image is trusted and its loader skips what it cannot read; a file from
// elsewhere is checked record by record first, so a damaged or cut-off build is refused, not
// half sent. `line` is where the problem is.
HexProblem CheckRecords(const std::string& text, int& line) {
    std::istringstream in(text);
    std::string record;
    line = 0;
    bool ended = false;
    while (std::getline(in, record)) {
        ++line;
        if (!record.empty() && record.back() == '\r')
            record.pop_back();
        if (record.empty())
            continue;
        if (ended)
            return HexProblem::AfterEnd;
        if (record[0] != ':' || record.size() < 11 || record.size() % 2 == 0)
            return HexProblem::Malformed;
        std::vector<int> bytes;
        for (size_t i = 1; i < record.size(); i += 2) {
            int high = HexDigit(record[i]), low = HexDigit(record[i + 1]);
            if (high < 0 || low < 0)
                return HexProblem::Malformed;
            bytes.push_back(high * 16 + low);
        }
        if (static_cast<size_t>(bytes[0]) + 5 != bytes.size())
            return HexProblem::Malformed;
        int sum = 0;
        for (int b : bytes)
            sum += b;
        if (sum % 256 != 0)
            return HexProblem::Malformed;
        ended = bytes[3] == 1;
    }
    return ended ? HexProblem::None : HexProblem::NoEnd;
}

} // namespace

bool LoadImageFile(const std::string& path, std::string& sha256, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = TrFormat("cannot read the image file %s", {path});
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int line = 0;
    switch (CheckRecords(text, line)) {
    case HexProblem::None:
        break;
    case HexProblem::Malformed:
        error = TrFormat("%s is not an Intel HEX file (line %d)", {path, line});
        return false;
    case HexProblem::NoEnd:
        // A file cut short (a copy that stopped, a build that did not finish).
        error = TrFormat("%s has no end-of-file record (it stops at line %d)", {path, line});
        return false;
    case HexProblem::AfterEnd:
        error = TrFormat("%s goes on after its end-of-file record (line %d)", {path, line});
        return false;
    }
    LoadIntelHex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    bool sendable = false;
    for (FirmwareBlock* b = FirstBlock; b; b = b->Next)
        sendable = sendable || b->Address() >= BoardContract::FirstApplicationAddress;
    if (!sendable) {
        error = TrFormat("%s has no data at or above address 0x800", {path});
        return false;
    }
    Sha256 digest;
    digest.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    sha256 = digest.HexDigest();
    return true;
}
