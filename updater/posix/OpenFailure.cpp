// Open failures on POSIX systems: the error code is errno.
#include "updater/OpenFailure.h"

#include <cerrno>
#include <cstring>

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
    case ENODEV:
    case ENXIO:
        return OpenFailureKind::NotFound;
    default:
        return OpenFailureKind::Other;
    }
}

std::string SystemErrorText(int errorCode) {
    return std::strerror(errorCode);
}
