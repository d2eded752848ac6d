#pragma once
// MO catalogues for tests: compiled by GNU msgfmt, patched byte by byte, and the broken or
// hostile ones a damaged install, a translation still being worked on or a planted file can
// put beside the programs.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Compiles the PO text `po` into the file `mo` (its folder is made); throws when msgfmt fails.
void CompileCatalogue(const std::string& po, const std::string& mo, bool bigEndian = false);

// The little-endian 32-bit number at `offset`.
void PatchWord(std::string& bytes, size_t offset, uint32_t value);
uint32_t ReadWord(const std::string& bytes, size_t offset);

struct THostileCatalogue {
    std::string Name;
    // Still translates (a refused plural rule costs only the plural choice); otherwise the
    // catalogue cannot be used at all.
    bool Translates;
    // Puts the catalogue at the given path, its folder made.
    std::function<void(const std::string& mo)> Make;
};
// Each case made from `po`, a good catalogue's source with a "Plural-Forms" line.
std::vector<THostileCatalogue> HostileCatalogues(const std::string& po);
// `part` `times` over: the long rules of hostile headers.
std::string Repeat(const std::string& part, size_t times);
// `po` with its plural rule replaced by "nplurals=2; plural=" `rule`.
std::string WithPluralRule(const std::string& po, const std::string& rule);
