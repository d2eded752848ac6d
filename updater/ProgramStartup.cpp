#include "updater/ProgramStartup.h"

#include "framework/qt/Translator.h"
#include "i18n/Translation.h"
#include "serial/ComPortStartup.h"

#include <QCoreApplication>

void StartTranslationAndSerialLayer() {
    gnugettext::GnuGettextStartup();
    ComPortStartup();
}

void InstallToolkitTranslator() {
    QCoreApplication::installTranslator(new TGettextTranslator(QCoreApplication::instance()));
}

void StopTranslation() {
    ComPortShutdown();
    gnugettext::GnuGettextShutdown();
}
