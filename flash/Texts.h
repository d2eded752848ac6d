#pragma once
// The flasher's messages: English texts that are also the keys of its "quorvel-flash"
// catalogue, so LANG=pt_BR.UTF-8 gives Portuguese.
#include "framework/Format.h"

#include <string>

inline constexpr char FlashTextDomain[] = "quorvel-flash";

// Starts the translation runtime. A catalogue that cannot be read is named once on standard
// error and costs only its translations: its texts come out as in a run without it.
void StartTranslation();

// `msgid` in the user's language; unchanged without the translation runtime or catalogue.
std::string Tr(const char* msgid);
// Tr, then %s / %d filled in; a translation whose specifiers do not fit falls back to English.
std::string TrFormat(const char* msgid, std::initializer_list<FormatArg> args);
// The form for the count `n` by the catalogue's plural rule ("1 resend", "2 resends"), then
// filled in as TrFormat does.
std::string TrPlural(const char* singular, const char* plural, long n,
                     std::initializer_list<FormatArg> args);
// True when the user's language is Portuguese (the shared open-failure lines come in both).
bool PortugueseWanted();
