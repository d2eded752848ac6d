// Open failures on Windows: the error code is GetLastError's. Error numbers here are not errno
// values (5 is access denied, not EIO), so nothing of the POSIX table applies.
#include "updater/OpenFailure.h"
#include "serial/ComBackend.h"

#include <winsock2.h>

OpenFailureKind ClassifyOpenFailure(int errorCode) {
    switch (errorCode) {
    case -1:
        return OpenFailureKind::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return OpenFailureKind::NotFound;
    case ERROR_ACCESS_DENIED: // a port is exclusive: another program has it open
    case ERROR_SHARING_VIOLATION:
        return OpenFailureKind::InUse;
    case ERROR_GEN_FAILURE: // what a USB adapter pulled out while still listed answers
        return OpenFailureKind::NotWorking;
    case ERROR_SEM_TIMEOUT: // the driver gave up on a vanished device
    case ERROR_NOT_READY:   // what Wine answers for a device that went away
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
        return OpenFailureKind::Gone;
    case WSAECONNREFUSED:
        return OpenFailureKind::Refused;
    case ComHostNotFoundError: // WSAHOST_NOT_FOUND
        return OpenFailureKind::HostNotFound;
    case WSAETIMEDOUT:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
        return OpenFailureKind::TimedOut;
    case WSAECONNRESET:
        return OpenFailureKind::Reset;
    case WSAECONNABORTED: // how the network port reports the server's orderly close
        return OpenFailureKind::Closed;
    case WSAEPROTONOSUPPORT:
        return OpenFailureKind::NotRfc2217;
    default:
        if (OpenFailureKind tls = ClassifyTlsFailure(errorCode); tls != OpenFailureKind::None)
            return tls;
        return OpenFailureKind::Other;
    }
}

std::string ErrorCodeName(int errorCode) {
    return "win error " + std::to_string(errorCode);
}

std::string SystemErrorText(int errorCode) {
    wchar_t text[512];
    // Language 0: the user's language first, as the system's own dialogs show it.
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(errorCode), 0, text, 512, nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                     text[n - 1] == L'.'))
        --n;
    if (n == 0)
        return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), size, nullptr,
                            nullptr);
    return out;
}
