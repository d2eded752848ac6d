#include "updater/ProgramStartup.h"

#include "framework/qt/Translator.h"
#include "i18n/Translation.h"
#include "serial/ComPort.h"

#include <QCoreApplication>

namespace {

std::string TranslateSerialText(const std::string& text) {
    auto wide = gnugettext::Utf8ToWide(text);
    return wide ? gnugettext::WideToUtf8(gnugettext::_(*wide)) : text;
}

} // namespace

void StartTranslationAndSerialLayer() {
    gnugettext::GnuGettextStartup();
    gnugettext::AddDomainForResourceString("cport");
    SetComPortTranslator(TranslateSerialText);
    TranslateComPortMessages();
}

void InstallToolkitTranslator() {
    QCoreApplication::installTranslator(new TGettextTranslator(QCoreApplication::instance()));
}

void StopTranslation() {
    gnugettext::GnuGettextShutdown();
}
