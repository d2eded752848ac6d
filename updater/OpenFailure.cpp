#include "updater/OpenFailure.h"
#include "serial/ComBackend.h"

#include <iterator>
#include <utility>

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
    {OpenFailureKind::Refused,
     "The network port's server refused the connection. Check the address and that the server "
     "is running, and try again.",
     "O servidor da porta de rede recusou a conexão. Confira o endereço e se o servidor está "
     "em execução e tente novamente."},
    {OpenFailureKind::HostNotFound,
     "The network port's host name was not found. Check the name and try again.",
     "O nome do computador da porta de rede não foi encontrado. Confira o nome e tente "
     "novamente."},
    {OpenFailureKind::TimedOut,
     "The network port's server did not answer (timed out). Check the network and the server, "
     "and try again.",
     "O servidor da porta de rede não respondeu (tempo esgotado). Verifique a rede e o servidor "
     "e tente novamente."},
    {OpenFailureKind::Reset,
     "The connection to the network port was reset. Check the network and the server, and try "
     "again.",
     "A conexão com a porta de rede foi interrompida. Verifique a rede e o servidor e tente "
     "novamente."},
    {OpenFailureKind::Closed,
     "The network port's server closed the connection (is the port in use there?). Try again.",
     "O servidor da porta de rede encerrou a conexão (a porta está em uso nele?). Tente "
     "novamente."},
    {OpenFailureKind::NotRfc2217,
     "The server does not offer the port over RFC 2217 (a plain TCP port?). Check its "
     "configuration.",
     "O servidor não oferece a porta por RFC 2217 (uma porta TCP simples?). Confira a "
     "configuração dele."},
    {OpenFailureKind::TlsExpired,
     "The network port's server has an expired certificate (or this computer's clock is "
     "wrong). Renew the server's certificate and try again.",
     "O certificado do servidor da porta de rede está vencido (ou o relógio deste computador "
     "está errado). Renove o certificado do servidor e tente novamente."},
    {OpenFailureKind::TlsWrongName,
     "The network port's server has a certificate for another name (host name mismatch). "
     "Check the address and try again.",
     "O certificado do servidor da porta de rede é de outro nome (o nome do computador não "
     "confere). Confira o endereço e tente novamente."},
    {OpenFailureKind::TlsUnknownIssuer,
     "The network port's server has a certificate from an unknown issuer. Give its CA file "
     "(?ca=...) and try again.",
     "O certificado do servidor da porta de rede é de um emissor desconhecido. Informe o "
     "arquivo da CA dele (?ca=...) e tente novamente."},
    {OpenFailureKind::TlsCertRequired,
     "The network port's server requires a client certificate. Give one (?cert=...&key=...) "
     "and try again.",
     "O servidor da porta de rede exige um certificado de cliente. Informe um "
     "(?cert=...&key=...) e tente novamente."},
    {OpenFailureKind::TlsCertRefused,
     "The network port's server refused the client certificate. Check the certificate and the "
     "server's configuration, and try again.",
     "O servidor da porta de rede recusou o certificado de cliente. Confira o certificado e a "
     "configuração do servidor e tente novamente."},
    {OpenFailureKind::TlsHandshake,
     "The TLS handshake with the network port's server failed (does it offer TLS?). Check the "
     "address and the server, and try again.",
     "A negociação TLS com o servidor da porta de rede falhou (ele oferece TLS?). Confira o "
     "endereço e o servidor e tente novamente."},
    {OpenFailureKind::TlsFiles,
     "The CA file, client certificate or key named in the address cannot be read. Check the "
     "paths and try again.",
     "O arquivo da CA, o certificado de cliente ou a chave indicados no endereço não podem ser "
     "lidos. Confira os caminhos e tente novamente."},
    {OpenFailureKind::TlsUnavailable,
     "This build has no TLS: rfc2217s:// ports cannot be used. Use rfc2217:// or the Linux "
     "build.",
     "Esta versão não tem TLS: portas rfc2217s:// não podem ser usadas. Use rfc2217:// ou a "
     "versão para Linux."},
};

// A failure in the middle of a transfer: first the adapter pulled out, then anything else.
const CauseText transferTexts[] = {
    {OpenFailureKind::Gone,
     "The adapter was disconnected. Reconnect it, switch the board on with the 'Dígito' key "
     "held down and try again.",
     "O adaptador foi desconectado. Reconecte-o, ligue a placa com a tecla 'Dígito' "
     "pressionada e tente novamente."},
    // A network port lost: what happened to the connection, then the same advice.
    {OpenFailureKind::TimedOut,
     "The network port stopped answering (timed out). Reconnect it, switch the board on with "
     "the 'Dígito' key held down and try again.",
     "A porta de rede parou de responder (tempo esgotado). Reconecte-a, ligue a placa com a "
     "tecla 'Dígito' pressionada e tente novamente."},
    {OpenFailureKind::Reset,
     "The connection to the network port was reset. Reconnect it, switch the board on with the "
     "'Dígito' key held down and try again.",
     "A conexão com a porta de rede foi interrompida. Reconecte-a, ligue a placa com a tecla "
     "'Dígito' pressionada e tente novamente."},
    {OpenFailureKind::Closed,
     "The network port's server closed the connection. Reconnect it, switch the board on with "
     "the 'Dígito' key held down and try again.",
     "O servidor da porta de rede encerrou a conexão. Reconecte-a, ligue a placa com a tecla "
     "'Dígito' pressionada e tente novamente."},
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
    if (kind == OpenFailureKind::NotWorking)
        kind = OpenFailureKind::Gone;
    const CauseText* c = &transferTexts[std::size(transferTexts) - 1];
    for (const CauseText& t : transferTexts)
        if (t.Kind == kind) {
            c = &t;
            break;
        }
    return language == CauseLanguage::Portuguese ? c->Portuguese : c->English;
}

OpenFailureKind ClassifyTlsFailure(int errorCode) {
    static const std::pair<int, OpenFailureKind> kinds[] = {
        {ComTlsExpiredError, OpenFailureKind::TlsExpired},
        {ComTlsWrongNameError, OpenFailureKind::TlsWrongName},
        {ComTlsUnknownIssuerError, OpenFailureKind::TlsUnknownIssuer},
        {ComTlsCertRequiredError, OpenFailureKind::TlsCertRequired},
        {ComTlsCertRefusedError, OpenFailureKind::TlsCertRefused},
        {ComTlsHandshakeError, OpenFailureKind::TlsHandshake},
        {ComTlsFilesError, OpenFailureKind::TlsFiles},
        {ComTlsUnavailableError, OpenFailureKind::TlsUnavailable},
    };
    for (const auto& [code, kind] : kinds)
        if (code == errorCode)
            return kind;
    return OpenFailureKind::None;
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
    case OpenFailureKind::Refused:
        words = "connection refused";
        break;
    case OpenFailureKind::HostNotFound:
        words = "host not found";
        break;
    case OpenFailureKind::TimedOut:
        words = "network timed out";
        break;
    case OpenFailureKind::Reset:
        words = "connection reset";
        break;
    case OpenFailureKind::Closed:
        words = "server closed the connection";
        break;
    case OpenFailureKind::NotRfc2217:
        words = "not an RFC 2217 server";
        break;
    case OpenFailureKind::TlsExpired:
        words = "certificate expired";
        break;
    case OpenFailureKind::TlsWrongName:
        words = "host name mismatch";
        break;
    case OpenFailureKind::TlsUnknownIssuer:
        words = "unknown issuer";
        break;
    case OpenFailureKind::TlsCertRequired:
        words = "client certificate required";
        break;
    case OpenFailureKind::TlsCertRefused:
        words = "client certificate refused";
        break;
    case OpenFailureKind::TlsHandshake:
        words = "handshake failed";
        break;
    case OpenFailureKind::TlsFiles:
        words = "unreadable CA, certificate or key";
        break;
    case OpenFailureKind::TlsUnavailable:
        words = "not in this build";
        break;
    case OpenFailureKind::Other:
        // The system's own text is in the user's language on Windows: its code says it all.
        words = "system error";
        break;
    }
    // The TLS codes are the program's own: no system has a name for them.
    const bool tls = ClassifyTlsFailure(errorCode) != OpenFailureKind::None;
    return std::string(words) + " (" + (tls ? "TLS" : ErrorCodeName(errorCode)) + ")";
}
