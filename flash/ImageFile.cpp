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

// The built-in image is trusted and its loader skips what it cannot read; a file from
// elsewhere is checked record by record first, so a damaged build is refused, not half sent.
bool RecordsWellFormed(const std::string& text, int& badLine) {
    std::istringstream in(text);
    std::string line;
    badLine = 0;
    while (std::getline(in, line)) {
        ++badLine;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0)
            return false;
        std::vector<int> bytes;
        for (size_t i = 1; i < line.size(); i += 2) {
            int high = HexDigit(line[i]), low = HexDigit(line[i + 1]);
            if (high < 0 || low < 0)
                return false;
            bytes.push_back(high * 16 + low);
        }
        if (static_cast<size_t>(bytes[0]) + 5 != bytes.size())
            return false;
        int sum = 0;
        for (int b : bytes)
            sum += b;
        if (sum % 256 != 0)
            return false;
    }
    badLine = 0;
    return true;
}

} // namespace

bool LoadImageFile(const std::string& path, std::string& sha256, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = TrFormat("cannot read the image file %s", {path});
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int badLine = 0;
    if (!RecordsWellFormed(text, badLine)) {
        error = TrFormat("%s is not an Intel HEX file (line %d)", {path, badLine});
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
