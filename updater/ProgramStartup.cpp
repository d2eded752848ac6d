#include "updater/ProgramStartup.h"

#include "i18n/Translation.h"
#include "serial/ComPortStartup.h"

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

void StopTranslation() {
    ComPortShutdown();
    gnugettext::GnuGettextShutdown();
}
