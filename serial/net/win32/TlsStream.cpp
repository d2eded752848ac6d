// The Windows build has no OpenSSL: an rfc2217s:// port fails to open with its own cause, and
// no stream is ever made.
#include "serial/net/TlsStream.h"

#include "serial/ComBackend.h"

bool TTlsStream::Available() {
    return false;
}

int TTlsStream::Start(TSocket, const TNetAddress&, int, std::unique_ptr<TTlsStream>&) {
    return ComTlsUnavailableError;
}

TTlsStream::~TTlsStream() = default;

int TTlsStream::Send(const char*, size_t, size_t& sent) {
    sent = 0;
    return ComTlsUnavailableError;
}

int TTlsStream::Recv(char*, size_t, size_t& got) {
    got = 0;
    return ComTlsUnavailableError;
}

unsigned TTlsStream::SendWaitsFor() {
    return SocketWritable;
}

unsigned TTlsStream::RecvWaitsFor() {
    return SocketReadable;
}

size_t TTlsStream::Pending() {
    return 0;
}
