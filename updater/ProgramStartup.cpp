#include "updater/ProgramStartup.h"

#include "framework/Application.h"
#include "i18n/Translation.h"
#include "serial/ComPortStartup.h"
#include "updater/Unit1.h"

#include <exception>

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

int RunWindowProgram(int& argc, char** argv, const std::function<void()>& started) {
    try {
        StartTranslationAndSerialLayer();
    } catch (...) {
        // A broken catalogue costs the translations, not the program.
        ReportException(std::current_exception());
    }
    try {
        TApplication app(argc, argv);
        try {
            started();
            app.SetTitle("Atualizador Quorvel");
            TForm1 form;
            form.Show();
            app.Run();
        } catch (...) {
            // A failure while the window is built ends the program without a window.
            app.HandleException(std::current_exception());
        }
    } catch (...) {
        ReportException(std::current_exception());
    }
    StopTranslation();
    return 0;
}
