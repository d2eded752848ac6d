#pragma once
// Why a serial port failed, in words a technician can act on. Shared by the window and the
// command-line flasher, which both show it under their own first line.
#include <string>

// What a port's error code says about it, whether the open or a later read, write or purge
// failed. Front-ends decide by this, never by text.
enum class OpenFailureKind {
    None,         // the failure carries no error code (-1)
    NoPermission, // the user may not use serial devices
    InUse,        // another program holds the port
    NotFound,     // no such port (mistyped, or its device unplugged)
    NotWorking,   // the port's device is listed but does not work (unplugged while listed)
    Gone,         // the port's device went away
    NotSerial,    // the name leads to something that is no serial port (a plain file)
    // A network port: its server or the way to it.
    Refused,      // nothing listens at the address
    HostNotFound, // the host name is unknown
    TimedOut,     // the server or the network stopped answering
    Reset,        // the connection was reset (the server's machine or a router dropped it)
    Closed,       // the server closed the connection
    NotRfc2217,   // the server does not offer the serial port option (a raw TCP port)
    // A network port over TLS.
    TlsExpired,       // the server's certificate expired (or is not valid yet)
    TlsWrongName,     // the certificate names another host
    TlsUnknownIssuer, // nobody trusted here issued it
    TlsCertRequired,  // the server wants a client certificate and was given none
    TlsCertRefused,   // the server did not take the client certificate
    TlsHandshake,     // anything else in TLS (not a TLS server?)
    TlsFiles,         // the URL's CA file, client certificate or key cannot be used
    TlsUnavailable,   // this build has no TLS
    Other,            // anything else: the system's own words
};

enum class CauseLanguage { English, Portuguese };

// One file per system (posix/, win32/): `errorCode` is errno there, a Windows error code here.
OpenFailureKind ClassifyOpenFailure(int errorCode);
// The TLS kinds, alike on every system; None for any other code.
OpenFailureKind ClassifyTlsFailure(int errorCode);
// The system's own words for `errorCode` (strerror; FormatMessageW in the user's language),
// UTF-8, without a closing full stop or line end; empty when the system has none.
std::string SystemErrorText(int errorCode);

// The system's name for `errorCode` ("EIO" on POSIX, "win error 5" on Windows). One file per
// system.
std::string ErrorCodeName(int errorCode);
// The cause for the service record: English whatever the user's language and the same words
// on every system, with the code's name ("adapter disconnected (EIO)"); empty without a code.
std::string RecordedCause(int errorCode);

// The line for an open that failed with `errorCode` (EComPort::WinErrorCode); empty when the
// failure carries no error code (-1). The window's texts are Portuguese.
std::string OpenFailureCause(int errorCode, CauseLanguage language = CauseLanguage::Portuguese);

// The line for a port that failed while a board was being updated. Either way the board is
// left waiting in the middle of a transfer and has to be restarted into its boot monitor.
std::string TransferFailureCause(int errorCode, CauseLanguage language = CauseLanguage::Portuguese);
