#include "tests/support/MoFiles.h"
#include "tests/support/TestFiles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// ((n+n)+(n+n)) nested `depth` deep: small per level, huge in all.
std::string Balanced(int depth) {
    std::string rule = "n";
    for (int i = 0; i < depth; ++i)
        rule = "(" + rule + "+" + rule + ")";
    return rule;
}

// The good catalogue's bytes with `change` applied to them, then stretched to `size` bytes
// without writing them (a sparse file) when asked.
std::function<void(const std::string&)>
Patched(const std::string& po, std::function<void(std::string&)> change, off_t size = 0) {
    return [po, change, size](const std::string& mo) {
        CompileCatalogue(po, mo);
        std::string bytes = ReadFile(mo);
        change(bytes);
        Put(mo, bytes);
        if (size > 0 && ::truncate(mo.c_str(), size) != 0)
            throw std::runtime_error("truncate " + mo);
    };
}

// `change` applied to every entry of the table at header offset `table` (12: originals,
// 16: translations).
std::function<void(std::string&)> EachEntry(size_t table,
                                            std::function<void(std::string&, uint32_t)> change) {
    return [table, change](std::string& bytes) {
        const uint32_t count = ReadWord(bytes, 8), at = ReadWord(bytes, table);
        for (uint32_t i = 0; i < count; ++i)
            change(bytes, at + 8 * i);
    };
}

} // namespace

void CompileCatalogue(const std::string& po, const std::string& mo, bool bigEndian) {
    fs::create_directories(fs::path(mo).parent_path());
    const std::string source = mo + ".po";
    Put(source, po);
    const std::string command = std::string(MSGFMT) + (bigEndian ? " --endianness=big" : "") +
                                " -o '" + mo + "' '" + source + "'";
    const int status = std::system(command.c_str());
    fs::remove(source);
    if (status != 0)
        throw std::runtime_error("msgfmt failed: " + command);
}

std::string Repeat(const std::string& part, size_t times) {
    std::string out;
    out.reserve(part.size() * times);
    for (size_t i = 0; i < times; ++i)
        out += part;
    return out;
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

std::string WithPluralRule(const std::string& po, const std::string& rule) {
    const std::string name = "\"Plural-Forms:";
    const size_t at = po.find(name);
    if (at == std::string::npos)
        throw std::runtime_error("the catalogue has no Plural-Forms line");
    return po.substr(0, at) + "\"Plural-Forms: nplurals=2; plural=" + rule + ";\\n\"" +
           po.substr(po.find('\n', at));
}

std::vector<THostileCatalogue> HostileCatalogues(const std::string& po) {
    auto rule = [&po](const std::string& text) {
        const std::string source = WithPluralRule(po, text);
        return [source](const std::string& mo) { CompileCatalogue(source, mo); };
    };
    const uint32_t all = 0xFFFFFFFF;
    return {
        // Plural rules: refused, or taken when they are sane; the translations stay.
        {"5,000 nested brackets", true, rule(Repeat("(", 5000) + "n" + Repeat(")", 5000))},
        {"300,000 terms", true, rule(Repeat("n+", 300000) + "n")},
        {"300,000 ! before n", true, rule(Repeat("!", 300000) + "n")},
        {"100,000 nested ?:", true, rule(Repeat("n?", 100000) + "n" + Repeat(":0", 100000))},
        {"a balanced rule 16 deep (400 kB)", true, rule(Balanced(16))},
        {"the deepest rule taken (100 brackets)", true,
         rule(Repeat("(", 100) + "n>1" + Repeat(")", 100))},
        {"one bracket deeper", true, rule(Repeat("(", 101) + "n>1" + Repeat(")", 101))},
        {"a division by zero", true, rule("n/0")},
        {"an index of 4,000,000,000", true, rule("4000000000")},
        // Files that cannot be catalogues.
        {"a header over 1 MB (a balanced rule 20 deep)", false, rule(Balanced(20))},
        {"an empty file", false, [](const std::string& mo) { Put(mo, ""); }},
        {"a directory", false, [](const std::string& mo) { fs::create_directories(mo); }},
        {"a FIFO", false,
         [](const std::string& mo) {
             fs::create_directories(fs::path(mo).parent_path());
             if (::mkfifo(mo.c_str(), 0600) != 0)
                 throw std::runtime_error("mkfifo " + mo);
         }},
        {"a dangling link", false,
         [](const std::string& mo) {
             fs::create_directories(fs::path(mo).parent_path());
             fs::create_symlink(mo + ".gone", mo);
         }},
        {"4 GB, sparse", false,
         Patched(
             po, [](std::string&) {}, 4ll << 30)},
        {"16 MB", false, Patched(po, [](std::string& b) { b.resize(16 << 20); })},
        {"the magic in the other byte order", false,
         Patched(po, [](std::string& b) { PatchWord(b, 0, 0xde120495); })},
        {"N = 0xffffffff", false, Patched(po, [all](std::string& b) { PatchWord(b, 8, all); })},
        {"strings without their NUL", false,
         Patched(po, EachEntry(12,
                               [](std::string& b, uint32_t at) {
                                   b[ReadWord(b, at + 4) + ReadWord(b, at)] = 'x';
                               }))},
        {"lengths of 0xffffffff", false,
         Patched(po, EachEntry(12, [all](std::string& b, uint32_t at) { PatchWord(b, at, all); }))},
        {"offsets of 0xffffffff", false,
         Patched(po,
                 EachEntry(12, [all](std::string& b, uint32_t at) { PatchWord(b, at + 4, all); }))},
        {"translations 1e9 long in a sparse file", false,
         Patched(po,
                 EachEntry(16,
                           [](std::string& b, uint32_t at) {
                               PatchWord(b, at, 1000000000);
                               PatchWord(b, at + 4, 1 << 20);
                           }),
                 (1 << 20) + 1000000001)},
    };
}
