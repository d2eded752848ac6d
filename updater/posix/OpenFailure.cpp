// Open failures on POSIX systems: the error code is errno.
#include "updater/OpenFailure.h"
#include "serial/ComBackend.h"

#include <cerrno>
#include <cstring>
#include <string>

OpenFailureKind ClassifyOpenFailure(int errorCode) {
    switch (errorCode) {
    case -1:
        return OpenFailureKind::None;
    case EACCES:
    case EPERM:
        return OpenFailureKind::NoPermission;
    case EBUSY:
    case EAGAIN: // the lock another program holds on the device
        return OpenFailureKind::InUse;
    case ENOENT:
    case ENOTDIR:
        return OpenFailureKind::NotFound;
    case ENODEV:
    case ENXIO: // the device node is still there, its device is not
        return OpenFailureKind::NotWorking;
    case ENOTTY: // the terminal settings of a plain file
        return OpenFailureKind::NotSerial;
    case EIO:
    case EBADF: // the descriptor of a device that hung up
        return OpenFailureKind::Gone;
    case ECONNREFUSED:
        return OpenFailureKind::Refused;
    case ComHostNotFoundError:
        return OpenFailureKind::HostNotFound;
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return OpenFailureKind::TimedOut;
    case ECONNRESET:
    case EPIPE:
        return OpenFailureKind::Reset;
    case ECONNABORTED: // how the network port reports the server's orderly close
        return OpenFailureKind::Closed;
    case EPROTONOSUPPORT:
        return OpenFailureKind::NotRfc2217;
    default:
        if (OpenFailureKind tls = ClassifyTlsFailure(errorCode); tls != OpenFailureKind::None)
            return tls;
        return OpenFailureKind::Other;
    }
}

std::string SystemErrorText(int errorCode) {
    return std::strerror(errorCode);
}

std::string ErrorCodeName(int errorCode) {
    if (const char* name = strerrorname_np(errorCode))
        return name;
    return "errno " + std::to_string(errorCode);
}
