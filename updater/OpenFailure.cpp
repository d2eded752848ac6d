#include "updater/OpenFailure.h"

namespace {

struct CauseText {
    OpenFailureKind Kind;
    const char* English;
    const char* Portuguese;
};

const CauseText causeTexts[] = {
    // Serial devices belong to the group dialout; membership counts from the next login.
    {OpenFailureKind::NoPermission,
     "No permission to use the port. Run \"sudo adduser $USER dialout\", then log out and in "
     "again.",
     "Sem permissão para usar a porta. Execute \"sudo adduser $USER dialout\", depois saia e "
     "entre novamente na sessão."},
    {OpenFailureKind::InUse, "The port is in use by another program. Close it and try again.",
     "A porta está em uso por outro programa. Feche-o e tente novamente."},
    // A mistyped name and an adapter that is not plugged in look the same here.
    {OpenFailureKind::NotFound,
     "The port does not exist. Check its name, or reconnect its adapter, and try again.",
     "A porta não existe. Confira o nome da porta ou reconecte o adaptador e tente novamente."},
    {OpenFailureKind::NotWorking,
     "The port's device is not working (unplugged?). Reconnect the adapter and try again.",
     "O dispositivo da porta não está funcionando (foi desconectado?). Reconecte o adaptador "
     "e tente novamente."},
    {OpenFailureKind::Gone, "The port's device is no longer connected. Reconnect it and try again.",
     "O dispositivo da porta não está mais conectado. Reconecte-o e tente novamente."},
    {OpenFailureKind::NotSerial, "This name is not a serial port's. Check it and try again.",
     "Este nome não é de uma porta serial. Confira-o e tente novamente."},
};

// A failure in the middle of a transfer: first the adapter pulled out, then anything else.
const CauseText transferTexts[] = {
    {OpenFailureKind::Gone,
     "The adapter was disconnected. Reconnect it, switch the board on with the 'Dígito' key "
     "held down and try again.",
     "O adaptador foi desconectado. Reconecte-o, ligue a placa com a tecla 'Dígito' "
     "pressionada e tente novamente."},
    {OpenFailureKind::Other,
     "Check the adapter, switch the board on with the 'Dígito' key held down and try again.",
     "Verifique o adaptador, ligue a placa com a tecla 'Dígito' pressionada e tente "
     "novamente."},
};

} // namespace

std::string OpenFailureCause(int errorCode, CauseLanguage language) {
    const bool portuguese = language == CauseLanguage::Portuguese;
    OpenFailureKind kind = ClassifyOpenFailure(errorCode);
    if (kind == OpenFailureKind::None)
        return {};
    for (const CauseText& c : causeTexts)
        if (c.Kind == kind)
            return portuguese ? c.Portuguese : c.English;
    std::string text = SystemErrorText(errorCode);
    std::string code = "(" + std::to_string(errorCode) + ").";
    std::string lead = portuguese ? "Erro do sistema" : "System error";
    return text.empty() ? lead + " " + code : lead + ": " + text + " " + code;
}

std::string TransferFailureCause(int errorCode, CauseLanguage language) {
    OpenFailureKind kind = ClassifyOpenFailure(errorCode);
    // A device that stopped working under an open handle was pulled out as surely as one that
    // is gone.
    bool gone = kind == OpenFailureKind::Gone || kind == OpenFailureKind::NotWorking;
    const CauseText& c = transferTexts[gone ? 0 : 1];
    return language == CauseLanguage::Portuguese ? c.Portuguese : c.English;
}

std::string RecordedCause(int errorCode) {
    const char* words = nullptr;
    switch (ClassifyOpenFailure(errorCode)) {
    case OpenFailureKind::None:
        return {};
    case OpenFailureKind::NoPermission:
        words = "permission denied";
        break;
    case OpenFailureKind::InUse:
        words = "in use by another program";
        break;
    case OpenFailureKind::NotFound:
        words = "no such port";
        break;
    case OpenFailureKind::NotWorking:
        words = "device not working";
        break;
    case OpenFailureKind::Gone:
        words = "adapter disconnected";
        break;
    case OpenFailureKind::NotSerial:
        words = "not a serial port";
        break;
    case OpenFailureKind::Other:
        // The system's own text is in the user's language on Windows: its code says it all.
        words = "system error";
        break;
    }
    return std::string(words) + " (" + ErrorCodeName(errorCode) + ")";
}
