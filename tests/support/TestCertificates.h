#pragma once
// A test certificate authority and certificates, made by the openssl command in a fresh folder:
// server certificates for 127.0.0.1 and localhost ("good", "expired", and "stranger" from
// another authority), "wrongname" for another host, and "client" (named "bench") for servers
// that ask for one. Each is "<name>.pem" with its key in "<name>.key".
#include "tests/support/SerialServers.h"
#include "tests/support/TestFiles.h"

#include <string>

class TestCertificates {
public:
    TestCertificates();
    bool Made() const { return made_; }
    // The authority that issued all but "stranger".
    std::string Ca() const { return dir_ / "ca.pem"; }
    std::string Cert(const std::string& name) const { return dir_ / (name + ".pem"); }
    std::string Key(const std::string& name) const { return dir_ / (name + ".key"); }
    // ser2net's TLS accepter with the server certificate `name`; with `clientAuth` it asks for a
    // client certificate and takes one issued by the authority to "bench".
    TlsAccepter Accepter(const std::string& name, bool clientAuth) const;

private:
    TempDir dir_;
    bool made_ = false;
};
