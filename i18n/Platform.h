#pragma once
// What the translation runtime needs from the operating system; one file per platform
// (i18n/posix/, i18n/win32/).
#include <cstdint>
#include <string>

namespace gnugettext {

// Separator of the paths the runtime builds.
#ifdef _WIN32
inline constexpr char PathSeparator = '\\';
#else
inline constexpr char PathSeparator = '/';
#endif

bool IsPathSeparator(char c);
// The program's own path; "" when it cannot be found.
std::string OwnExecutablePath();
// The language when none is asked for, by the platform's rules (not yet cut or checked).
std::string SystemLanguage();
// Anything under the name counts, so a catalogue that cannot be opened is reported.
bool PathExists(const std::string& path);

// A whole file, read-only. Windows maps it: an open mapping keeps the file from being cut
// short. Linux reads it into memory: a file cut short under a mapping faults its reader.
struct TFileView {
    const unsigned char* Data = nullptr; // none when the file is larger than asked for
    uint64_t Size = 0;
    void* Mapping = nullptr; // the platform's mapping object, where it has one
};
// Throws Exception with the runtime's messages ("Cannot open file " and so on). A file
// larger than `maxSize` is not loaded: the view then tells only its size.
TFileView LoadFileView(const std::string& path, uint64_t maxSize);
void UnloadFileView(TFileView& view);

} // namespace gnugettext
