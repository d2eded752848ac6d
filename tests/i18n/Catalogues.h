#pragma once
// Test catalogues: made by msgfmt at test time in a private temporary directory.
#include "tests/support/MoFiles.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using TEntries = std::vector<std::pair<std::string, std::string>>;

class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// PO text with a header in `charset` and the given msgid/msgstr pairs; `extra` is appended
// as it stands (context or plural entries).
std::string PoText(const TEntries& entries, const std::string& extra = "",
                   const std::string& charset = "UTF-8");

// Compiles `po` with msgfmt into <dir>/<language>/LC_MESSAGES/<domain>.mo; returns that path.
std::string Msgfmt(const std::string& dir, const std::string& language, const std::string& domain,
                   const std::string& po, bool bigEndian = false);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
