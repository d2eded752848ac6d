#include "flash/Texts.h"

#include "i18n/Translation.h"

#include <algorithm>
#include <cstdio>

void StartTranslation() {
    gnugettext::GnuGettextStartup();
    if (gnugettext::DefaultInstance)
        gnugettext::DefaultInstance->OnBrokenCatalogue = [](const std::string& message) {
            std::fprintf(stderr, "quorvel-flash: warning: %s (its translations are left out)\n",
                         message.c_str());
        };
}

std::string Tr(const char* msgid) {
    if (!gnugettext::DefaultInstance)
        return msgid;
    std::string text = gnugettext::DefaultInstance->dgettextUtf8(FlashTextDomain, msgid);
    // The runtime hands texts out with CR LF; the flasher's lines go through the C library,
    // which adds the CR itself where the system wants one (Windows text mode).
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string TrFormat(const char* msgid, std::initializer_list<FormatArg> args) {
    return FormatTranslated(Tr(msgid), msgid, args);
}

std::string TrPlural(const char* singular, const char* plural, long n,
                     std::initializer_list<FormatArg> args) {
    const char* english = n == 1 ? singular : plural;
    if (!gnugettext::DefaultInstance)
        return FormatTranslated(english, english, args);
    unsigned long count = n < 0 ? static_cast<unsigned long>(-n) : static_cast<unsigned long>(n);
    return FormatTranslated(
        gnugettext::DefaultInstance->dngettextUtf8(FlashTextDomain, singular, plural, count),
        english, args);
}

bool PortugueseWanted() {
    return gnugettext::GetCurrentLanguage().rfind("pt", 0) == 0;
}
