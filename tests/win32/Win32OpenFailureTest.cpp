// Why an open failed, with Windows' own error codes, and a port that another program holds.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include "serial/ComBackend.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "serial/win32/ComDevice.h"
#include "updater/OpenFailure.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Win32OpenFailure, EachCodeGivesItsCauseInBothLanguages) {
    // Unmapped codes give the system's own words (Wine's English here) with the code; none may
    // be read as an errno value (5 is not EIO, 13 not EACCES).
    struct Case {
        int code;
        OpenFailureKind kind;
        const char* english;
        const char* portuguese;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, OpenFailureKind::NotFound, "does not exist", "não existe"},
        {ERROR_PATH_NOT_FOUND, OpenFailureKind::NotFound, "does not exist", "não existe"},
        {ERROR_ACCESS_DENIED, OpenFailureKind::InUse, "in use by another program",
         "em uso por outro programa"},
        {ERROR_GEN_FAILURE, OpenFailureKind::NotWorking, "not working", "não está funcionando"},
        {ERROR_SEM_TIMEOUT, OpenFailureKind::Gone, "no longer connected",
         "não está mais conectado"},
        // What Wine answers for a device that went away under an open handle.
        {ERROR_NOT_READY, OpenFailureKind::Gone, "no longer connected", "não está mais conectado"},
        {ERROR_DEVICE_NOT_CONNECTED, OpenFailureKind::Gone, "no longer connected",
         "não está mais conectado"},
        {ERROR_INVALID_FUNCTION, OpenFailureKind::Other, "System error: Invalid function (1).",
         "Erro do sistema: Invalid function (1)."},
        {ERROR_INVALID_DATA, OpenFailureKind::Other, "System error: Invalid data (13).",
         "Erro do sistema: Invalid data (13)."},
        {ERROR_SHARING_VIOLATION, OpenFailureKind::InUse, "in use by another program",
         "em uso por outro programa"},
        {ERROR_BAD_COMMAND, OpenFailureKind::Gone, "no longer connected",
         "não está mais conectado"},
        {ERROR_INVALID_PARAMETER, OpenFailureKind::Other, "(87).", "(87)."},
        // Network ports: Winsock's numbers, not errno's (10061 is no errno value).
        {WSAECONNREFUSED, OpenFailureKind::Refused, "refused the connection", "recusou a conexão"},
        {WSAHOST_NOT_FOUND, OpenFailureKind::HostNotFound, "host name was not found",
         "não foi encontrado"},
        {WSAETIMEDOUT, OpenFailureKind::TimedOut, "timed out", "tempo esgotado"},
        {WSAEHOSTUNREACH, OpenFailureKind::TimedOut, "timed out", "tempo esgotado"},
        {WSAECONNRESET, OpenFailureKind::Reset, "was reset", "foi interrompida"},
        {WSAECONNABORTED, OpenFailureKind::Closed, "closed the connection", "encerrou a conexão"},
        {WSAEPROTONOSUPPORT, OpenFailureKind::NotRfc2217, "RFC 2217", "RFC 2217"},
        {ComTlsUnavailableError, OpenFailureKind::TlsUnavailable, "This build has no TLS",
         "Esta versão não tem TLS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(ClassifyOpenFailure(c.code), c.kind);
        const std::string en = OpenFailureCause(c.code, CauseLanguage::English);
        const std::string pt = OpenFailureCause(c.code, CauseLanguage::Portuguese);
        EXPECT_TRUE(Has(en, c.english)) << en;
        EXPECT_TRUE(Has(pt, c.portuguese)) << pt;
        for (const std::string& line : {en, pt})
            EXPECT_FALSE(Has(line, "adduser") || Has(line, "Input/output") || Has(line, "links") ||
                         Has(line, "Unknown error") || Has(line, ": ("))
                << line;
        // In the middle of a transfer every sign of a vanished device reads as pulled out.
        const bool pulledOut =
            c.kind == OpenFailureKind::Gone || c.kind == OpenFailureKind::NotWorking;
        EXPECT_EQ(Has(TransferFailureCause(c.code, CauseLanguage::English), "disconnected"),
                  pulledOut);
    }
    EXPECT_EQ(OpenFailureCause(-1), "");
}

// No OpenSSL in this build: a port over TLS fails before any device or socket is touched.
TEST(Win32OpenFailure, TlsPortsAreNotInThisBuild) {
    TComPort port;
    port.SetPort("rfc2217s://127.0.0.1:4433?ca=C:\\ca.pem");
    try {
        port.Open();
        ADD_FAILURE() << "opened";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, mcOpenFailed);
        EXPECT_EQ(e.WinErrorCode, ComTlsUnavailableError);
    }
    EXPECT_FALSE(port.Connected());
}

HANDLE HeldByAnotherProgram(const std::string&) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Wine lets a second program open a port another holds, so the holder is played where the
// serial layer opens its devices: the busy check and the open both meet it there.
TEST(Win32OpenFailure, APortAnotherProgramHoldsIsBusyAndCannotBeOpened) {
    ComDeviceOpener system = SetComDeviceOpener(HeldByAnotherProgram);
    const bool busy = ComPortBusy("COM5");
    TComPort port;
    port.SetPort("COM5");
    int code = 0, error = 0;
    try {
        port.Open();
    } catch (const EComPort& e) {
        code = e.MessageCode;
        error = e.WinErrorCode;
    }
    SetComDeviceOpener(system);
    EXPECT_TRUE(busy);
    EXPECT_EQ(code, mcOpenFailed);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(ClassifyOpenFailure(error), OpenFailureKind::InUse);
    EXPECT_FALSE(ComPortBusy("COM5")); // the system's open is back
}

} // namespace
