#include "updater/OpenFailure.h"

#include <cerrno>
#include <cstring>

std::string OpenFailureCause(int errorCode) {
    switch (errorCode) {
    case -1:
        return {};
    case EACCES:
    case EPERM:
        // Serial devices belong to the group dialout; membership counts from the next login.
        return "Sem permissão para usar a porta. Execute \"sudo adduser $USER dialout\", "
               "depois saia e entre novamente na sessão.";
    case EBUSY:
    case EAGAIN: // the lock another program holds on the device
        return "A porta está em uso por outro programa. Feche-o e tente novamente.";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "A porta não existe mais (dispositivo desconectado?). Reconecte o cabo e "
               "tente novamente.";
    default:
        return "Erro do sistema: " + std::string(std::strerror(errorCode)) + " (" +
               std::to_string(errorCode) + ").";
    }
}
