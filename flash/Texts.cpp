#include "flash/Texts.h"

#include "i18n/Translation.h"

std::string Tr(const char* msgid) {
    if (!gnugettext::DefaultInstance)
        return msgid;
    return gnugettext::DefaultInstance->dgettextUtf8(FlashTextDomain, msgid);
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
