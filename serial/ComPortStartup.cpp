#include "serial/ComPortStartup.h"

#include "i18n/Translation.h"
#include "serial/ComPort.h"

namespace {

// `_` in the current text domain, on UTF-8 text.
std::string Translate(const std::string& text) {
    auto wide = gnugettext::Utf8ToWide(text);
    return wide ? gnugettext::WideToUtf8(gnugettext::_(*wide)) : text;
}

} // namespace

void ComPortStartup() {
    gnugettext::AddDomainForResourceString("cport");
    SetComPortTranslator(&Translate);
    try {
        TranslateComPortMessages();
    } catch (...) {
        // A catalogue that cannot be read costs the translations only: left installed, the
        // lookup would fail again in every later port error and take its place.
        SetComPortTranslator(nullptr);
        TranslateComPortMessages();
        throw;
    }
}

void ComPortShutdown() {
    SetComPortTranslator(nullptr);
}
