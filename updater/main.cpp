// Atualizador Quorvel: the program's entry, with its command line and the display check.
#include "framework/qt/Translator.h"
#include "updater/ProgramStartup.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char Help[] = R"(Uso: quorvel-updater [--help | --version]

Atualizador Quorvel: atualiza o firmware da placa simuladora de bombas Quorvel pela porta
serial. Na aba "Porta serial", escolha a porta e clique em "Abrir"; na aba "Atualização",
clique em "Conectar" e depois em "Iniciar Atualização".

As portas seriais (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) pertencem ao grupo dialout.
Para usá-las, execute uma vez "sudo adduser $USER dialout", depois saia e entre novamente
na sessão.

Sem placa: "quorvel-boardsim --help" explica como simular uma.
Mais em /usr/share/doc/quorvel-updater/README e em "man quorvel-updater".

  --help      mostra este texto e sai
  --version   mostra a versão e sai
)";

const char NoDisplay[] = "quorvel-updater: não há tela gráfica disponível (DISPLAY vazio ou "
                         "inacessível); inicie pelo menu da sessão gráfica ou com \"ssh -X\".\n";

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Without a display Qt aborts with advice to reinstall; the technician gets one clear line
// instead. A platform chosen explicitly (offscreen in the tests) is left to Qt.
bool DisplayPossible() {
    return Set("QT_QPA_PLATFORM") || Set("DISPLAY") || Set("WAYLAND_DISPLAY");
}

// A display that is named but cannot be reached ends in Qt's fatal message while the
// application object is made; its plugin chatter before that is dropped.
void WhileConnecting(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(NoDisplay, stderr);
        std::_Exit(1);
    }
    if (context.category && std::strncmp(context.category, "qt.qpa", 6) == 0)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("quorvel-updater " QUORVEL_VERSION);
            return 0;
        }
    }
    if (!DisplayPossible()) {
        std::fputs(NoDisplay, stderr);
        return 1;
    }
    // The display is named but may not be reachable: Qt says so while the application object
    // is made.
    static QtMessageHandler previous = qInstallMessageHandler(WhileConnecting);
    return RunWindowProgram(argc, argv, [] {
        qInstallMessageHandler(previous);
        // Qt's own texts (message box buttons, text box menus) through the same catalogues.
        QCoreApplication::installTranslator(new TGettextTranslator(QCoreApplication::instance()));
    });
}
