#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// P-256 keys: quick to make on a loaded machine.
const std::string newKey = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TestCertificates::TestCertificates() {
    const std::string d = dir_.Path() + "/";
    std::ofstream(d + "local.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    std::ofstream(d + "other.ext") << "subjectAltName=DNS:bench.invalid\n";
    std::ofstream(d + "client.ext") << "extendedKeyUsage=clientAuth\n";
    auto authority = [&](const std::string& name) {
        return Run("openssl req -x509 " + newKey + " -keyout " + d + name + ".key -out " + d +
                   name + ".pem -days 3650 -subj '/CN=Quorvel test " + name + "'");
    };
    // A negative validity gives a certificate that expired the day before it was made.
    auto leaf = [&](const std::string& name, const std::string& subject, const std::string& ca,
                    const std::string& ext, int days) {
        return Run("openssl req " + newKey + " -keyout " + d + name + ".key -out " + d + name +
                   ".csr -subj '/CN=" + subject + "'") &&
               Run("openssl x509 -req -in " + d + name + ".csr -CA " + d + ca + ".pem -CAkey " + d +
                   ca + ".key -CAcreateserial -out " + d + name + ".pem -days " +
                   std::to_string(days) + " -extfile " + d + ext + ".ext");
    };
    made_ = authority("ca") && authority("otherca") &&
            leaf("good", "localhost", "ca", "local", 30) &&
            leaf("expired", "localhost", "ca", "local", -1) &&
            leaf("stranger", "localhost", "otherca", "local", 30) &&
            leaf("wrongname", "bench.invalid", "ca", "other", 30) &&
            leaf("client", "bench", "ca", "client", 30);
    // ser2net takes a client certificate named "bench" when bench/allowed_certs holds its
    // issuer, found by OpenSSL's hashed names.
    const std::string allowed = d + "auth/bench/allowed_certs";
    std::filesystem::create_directories(allowed);
    std::filesystem::copy_file(Ca(), allowed + "/ca.pem");
    made_ = made_ && Run("openssl rehash " + allowed);
}

TlsAccepter TestCertificates::Accepter(const std::string& name, bool clientAuth) const {
    return {Cert(name), Key(name), clientAuth ? dir_ / "auth" : std::string()};
}
