#include "updater/ProgramStartup.h"

#include "framework/qt/Translator.h"
#include "i18n/Translation.h"
#include "serial/ComPortStartup.h"

#include <QCoreApplication>

void StartTranslationAndSerialLayer() {
    gnugettext::GnuGettextStartup();
    try {
        ComPortStartup();
    } catch (...) {
        // The catalogue would fail again at every later lookup: every text stays as written.
        if (gnugettext::DefaultInstance)
            gnugettext::DefaultInstance->Enabled = false;
        throw;
    }
}

void InstallToolkitTranslator() {
    QCoreApplication::installTranslator(new TGettextTranslator(QCoreApplication::instance()));
}

void StopTranslation() {
    ComPortShutdown();
    gnugettext::GnuGettextShutdown();
}
