#include "Catalogues.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TTempDir::TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-i18n-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TTempDir::~TTempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

namespace {

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

} // namespace

std::string PoText(const TEntries& entries, const std::string& extra, const std::string& charset) {
    std::ostringstream po;
    po << "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=" << charset
       << "\\n\"\n\"Plural-Forms: nplurals=2; plural=(n != 1);\\n\"\n\n";
    for (const auto& [id, str] : entries)
        po << "msgid " << Quote(id) << "\nmsgstr " << Quote(str) << "\n\n";
    po << extra;
    return po.str();
}

std::string Msgfmt(const std::string& dir, const std::string& language, const std::string& domain,
                   const std::string& po, bool bigEndian) {
    fs::path out = fs::path(dir) / language / "LC_MESSAGES";
    fs::create_directories(out);
    std::string source = (out / (domain + ".po")).string();
    WriteFile(source, po);
    std::string mo = (out / (domain + ".mo")).string();
    std::string command = std::string(MSGFMT) + (bigEndian ? " --endianness=big" : "") + " -o '" +
                          mo + "' '" + source + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("msgfmt failed: " + command);
    fs::remove(source);
    return mo;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void PatchWord(std::string& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t ReadWord(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}
