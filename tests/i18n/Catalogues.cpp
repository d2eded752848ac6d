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
    std::string mo = (fs::path(dir) / language / "LC_MESSAGES" / (domain + ".mo")).string();
    CompileCatalogue(po, mo, bigEndian);
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
