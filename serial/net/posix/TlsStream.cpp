#include "serial/net/TlsStream.h"

#include "serial/ComBackend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>

namespace {

using Clock = std::chrono::steady_clock;

// At most one record: what a blocked Send keeps for the retry.
constexpr size_t recordSize = 16384;

// OpenSSL writes to the socket without MSG_NOSIGNAL, so a write after the server's close would
// raise SIGPIPE and end the program: the calling thread holds it back and takes it.
class QuietPipe {
public:
    QuietPipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~QuietPipe() {
        sigset_t pending;
        const timespec none{0, 0};
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE))
            sigtimedwait(&pipe_, nullptr, &none);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

private:
    sigset_t pipe_, old_;
};

struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

std::string WithoutZone(const std::string& host) {
    return host.substr(0, host.find('%'));
}

bool IsAddress(const std::string& host) {
    in6_addr bytes;
    const std::string bare = WithoutZone(host);
    return inet_pton(AF_INET, bare.c_str(), &bytes) == 1 ||
           inet_pton(AF_INET6, bare.c_str(), &bytes) == 1;
}

// The trust and the client certificate the URL names.
int LoadFiles(SSL_CTX* context, const TNetAddress& a) {
    const bool trust = a.CaFile.empty()
                           ? SSL_CTX_set_default_verify_paths(context) == 1
                           : SSL_CTX_load_verify_locations(context, a.CaFile.c_str(), nullptr) == 1;
    if (!trust)
        return ComTlsFilesError;
    if (a.CertFile.empty())
        return 0;
    const std::string& key = a.KeyFile.empty() ? a.CertFile : a.KeyFile;
    if (SSL_CTX_use_certificate_chain_file(context, a.CertFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1)
        return ComTlsFilesError;
    return 0;
}

// The name the server's certificate must carry; an address is checked as one and, as TLS
// wants, never sent as the server name.
bool ExpectName(SSL* ssl, const std::string& host) {
    if (IsAddress(host))
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), WithoutZone(host).c_str()) == 1;
    return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
           SSL_set1_host(ssl, host.c_str()) == 1;
}

int VerifyFailure(long result) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: // either way the dates or this computer's clock
        return ComTlsExpiredError;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ComTlsWrongNameError;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return ComTlsUnknownIssuerError;
    default:
        return ComTlsHandshakeError;
    }
}

// Notes the server's request for a client certificate.
void WatchMessages(int written, int, int contentType, const void* message, size_t size, SSL*,
                   void* requested) {
    if (!written && contentType == SSL3_RT_HANDSHAKE && size > 0 &&
        static_cast<const unsigned char*>(message)[0] == SSL3_MT_CERTIFICATE_REQUEST)
        *static_cast<bool*>(requested) = true;
}

// Before each call: its errors are the only ones to look at.
void ClearErrors() {
    ERR_clear_error();
    errno = 0;
}

// Until the socket can do what TLS waits for, or the deadline.
int WaitUntil(TSocket s, unsigned want, Clock::time_point deadline) {
    unsigned ready = 0;
    if (int rc = WaitSocket(s, want, nullptr, PollMsUntil(deadline), ready))
        return rc;
    return ready == 0 ? ETIMEDOUT : 0;
}

} // namespace

bool TTlsStream::Available() {
    return true;
}

int TTlsStream::Start(TSocket fd, const TNetAddress& address, int limitMs,
                      std::unique_ptr<TTlsStream>& stream) {
    std::unique_ptr<SSL_CTX, FreeContext> context(SSL_CTX_new(TLS_client_method()));
    if (!context)
        return ComTlsHandshakeError;
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (int rc = LoadFiles(context.get(), address))
        return rc;
    std::unique_ptr<TTlsStream> s(new TTlsStream);
    s->ssl_ = SSL_new(context.get()); // holds its own reference to the context
    if (!s->ssl_ || SSL_set_fd(s->ssl_, static_cast<int>(fd)) != 1 ||
        !ExpectName(s->ssl_, address.Host))
        return ComTlsHandshakeError;
    SSL_set_mode(s->ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A close without TLS's own goodbye is still the server's close.
    SSL_set_options(s->ssl_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_set_msg_callback(s->ssl_, WatchMessages);
    SSL_set_msg_callback_arg(s->ssl_, &s->certificateRequested_);
    s->certificateGiven_ = !address.CertFile.empty();
    if (int rc = s->Handshake(fd, limitMs))
        return rc;
    stream = std::move(s);
    return 0;
}

int TTlsStream::Handshake(TSocket fd, int limitMs) {
    QuietPipe quiet;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        ClearErrors();
        const int result = SSL_connect(ssl_);
        if (result == 1)
            return 0;
        unsigned waitsFor = 0;
        int rc = Failure(result, waitsFor);
        if (rc == 0)
            rc = WaitUntil(fd, waitsFor, deadline);
        if (rc == 0)
            continue;
        if (long verified = SSL_get_verify_result(ssl_); verified != X509_V_OK)
            return VerifyFailure(verified);
        return rc == ComTlsCertRequiredError || rc == ComTlsCertRefusedError || rc == ETIMEDOUT
                   ? rc
                   : ComTlsHandshakeError;
    }
}

TTlsStream::~TTlsStream() {
    SSL_free(ssl_);
}

int TTlsStream::Send(const char* data, size_t size, size_t& sent) {
    std::lock_guard lock(mutex_);
    QuietPipe quiet;
    sent = 0;
    sendWaitsFor_ = SocketWritable; // unless OpenSSL says otherwise
    if (int rc = Flush())
        return rc;
    if (!unsent_.empty() || size == 0)
        return 0;
    const size_t chunk = std::min(size, recordSize);
    ClearErrors();
    const int n = SSL_write(ssl_, data, static_cast<int>(chunk));
    if (n > 0) {
        sent = static_cast<size_t>(n);
        return 0;
    }
    if (int rc = Failure(n, sendWaitsFor_))
        return rc;
    // OpenSSL may have made its record of these bytes already: they are taken, and the retry
    // gives them again as they were.
    unsent_.assign(data, chunk);
    sent = chunk;
    return 0;
}

int TTlsStream::Flush() {
    while (!unsent_.empty()) {
        ClearErrors();
        const int n = SSL_write(ssl_, unsent_.data(), static_cast<int>(unsent_.size()));
        if (n <= 0)
            return Failure(n, sendWaitsFor_);
        unsent_.erase(0, static_cast<size_t>(n));
    }
    return 0;
}

int TTlsStream::Recv(char* buffer, size_t size, size_t& got) {
    std::lock_guard lock(mutex_);
    QuietPipe quiet;
    got = 0;
    recvWaitsFor_ = SocketReadable;
    ClearErrors();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (n <= 0)
        return Failure(n, recvWaitsFor_);
    received_ = true;
    got = static_cast<size_t>(n);
    return 0;
}

unsigned TTlsStream::SendWaitsFor() {
    std::lock_guard lock(mutex_);
    return sendWaitsFor_;
}

unsigned TTlsStream::RecvWaitsFor() {
    std::lock_guard lock(mutex_);
    return recvWaitsFor_;
}

size_t TTlsStream::Pending() {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(SSL_pending(ssl_));
}

// 0 when the call would block (and what it waits for), else what ended the connection.
int TTlsStream::Failure(int result, unsigned& waitsFor) {
    const int savedErrno = errno;
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        waitsFor = error == SSL_ERROR_WANT_READ ? SocketReadable : SocketWritable;
        return 0;
    }
    // Under TLS 1.3 a server tells its verdict on our certificate only after the handshake,
    // by ending the connection before its first byte.
    if (certificateRequested_ && !received_)
        return certificateGiven_ ? ComTlsCertRefusedError : ComTlsCertRequiredError;
    if (error == SSL_ERROR_SYSCALL && savedErrno != 0)
        return savedErrno == EPIPE ? ECONNRESET : savedErrno;
    if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL)
        return NetClosedError;
    return ECONNRESET; // an alert or a damaged record
}
