#include "i18n/Platform.h"

#include "framework/Exception.h"

#include <windows.h>

namespace gnugettext {

namespace {

// The thread locale's language when the user locale has no two-letter names.
const char* LanguageOfLocaleId(LCID id) {
    struct Entry {
        LCID id;
        const char* code;
    };
    static const Entry table[] = {
        {1030, "da_DK"}, {1031, "de_DE"}, {1032, "gr_GR"}, {1033, "en_US"}, {1034, "es_ES"},
        {1035, "fi_FI"}, {1036, "fr_FR"}, {1039, "is_IS"}, {1040, "it_IT"}, {1042, "ko_KO"},
        {1043, "nl_NL"}, {1044, "no_NO"}, {1045, "pl_PL"}, {1046, "pt_BR"}, {1049, "ru_RU"},
        {1053, "sv_SE"}, {2057, "en_UK"}, {2060, "fr_BE"}, {2067, "nl_BE"}, {2068, "nn_NO"},
        {2070, "pt_PT"}, {2077, "fi_SE"}, {3082, "es_ES"}, {3084, "fr_CA"}, {4103, "de_LU"}};
    for (const Entry& e : table)
        if (e.id == id)
            return e.code;
    return "C";
}

// The system's own text for an error, without its line end.
std::string SystemMessage(DWORD error) {
    char text[2000];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        --n;
    return std::string(text, n);
}

} // namespace

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string OwnExecutablePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return "";
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2); // cut short: try again with more room
    }
}

std::string SystemLanguage() {
    char lang[256];
    DWORD n = GetEnvironmentVariableA("LANG", lang, sizeof lang);
    if (n > 0 && n < sizeof lang)
        return lang;
    char language[5], country[5];
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, sizeof language) ==
            3 &&
        GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, country, sizeof country) == 3)
        return std::string(language) + "_" + country;
    return LanguageOfLocaleId(GetThreadLocale());
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TFileView LoadFileView(const std::string& path, uint64_t maxSize) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Exception("Cannot open file " + path);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        CloseHandle(file);
        throw Exception("Cannot create memory map on file " + path);
    }
    if (static_cast<uint64_t>(size.QuadPart) > maxSize) {
        CloseHandle(file);
        return {nullptr, static_cast<uint64_t>(size.QuadPart), nullptr};
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    // The mapping keeps the file open by itself.
    CloseHandle(file);
    if (!mapping)
        throw Exception("Cannot create memory map on file " + path);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        std::string reason = SystemMessage(GetLastError());
        CloseHandle(mapping);
        throw Exception("Cannot map file " + path + " into memory. Reason: " + reason);
    }
    return {static_cast<const unsigned char*>(view), static_cast<uint64_t>(size.QuadPart), mapping};
}

void UnloadFileView(TFileView& view) {
    if (view.Data)
        UnmapViewOfFile(view.Data);
    if (view.Mapping)
        CloseHandle(static_cast<HANDLE>(view.Mapping));
    view = {};
}

} // namespace gnugettext
