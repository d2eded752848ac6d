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

bool PortugueseWanted() {
    return gnugettext::GetCurrentLanguage().rfind("pt", 0) == 0;
}
