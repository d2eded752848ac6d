// Atualizador Quorvel on Windows: the program's entry. The translation runtime and the serial
// layer start first, then the application object, then the main window, whose creation loads
// the firmware image; the message loop runs until the window is closed.
#include "framework/win32/Application.h"
#include "updater/ProgramStartup.h"
#include "updater/Unit1.h"

#include <exception>

int main(int argc, char** argv) {
    try {
        StartTranslationAndSerialLayer();
    } catch (...) {
        // A broken catalogue costs the translations, not the program.
        ReportException(std::current_exception());
    }
    try {
        TApplication app(argc, argv);
        try {
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
