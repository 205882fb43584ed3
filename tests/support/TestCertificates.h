// A private PKI for TLS tests, written into a folder: a CA; a server certificate for 127.0.0.1
// and localhost signed by it; a valid and an expired client certificate signed by it; and an
// unrelated second CA with its own server certificate (a server that the first CA cannot vouch
// for). Every file is PEM. Throws std::runtime_error when OpenSSL fails.
#pragma once

#include <string>

#include "datasyncctl/Pki.h"

namespace testsupport {

struct CertificateFiles { std::string cert, key; };

class TestCertificates {
public:
    static constexpr long kDay = 24 * 60 * 60;

    // Writes every file into `folder` (which ends with '/').
    explicit TestCertificates(const std::string& folder) {
        using namespace datasyncctl::pki;
        const auto write = [&folder](const std::string& name, const Issued& issued) {
            CertificateFiles files{folder + name + ".pem", folder + name + "-key.pem"};
            Write(issued, files.cert, &files.key);
            return files;
        };
        const auto ca = Issue("DataSync Test CA", Role::Authority, nullptr, -kDay, 30 * kDay);
        const auto otherCa = Issue("Unrelated Test CA", Role::Authority, nullptr, -kDay, 30 * kDay);
        caCert = write("ca", ca).cert;
        server = write("server", Issue("127.0.0.1", Role::Server, &ca, -kDay, 30 * kDay));
        client = write("client", Issue("dev-0001", Role::Client, &ca, -kDay, 30 * kDay));
        expiredClient = write("client-expired", Issue("dev-0001", Role::Client, &ca, -3 * kDay, -kDay));
        otherServer = write("other-server", Issue("127.0.0.1", Role::Server, &otherCa, -kDay, 30 * kDay));
        otherCaCert = write("other-ca", otherCa).cert;
    }

    std::string caCert, otherCaCert;
    CertificateFiles server, client, expiredClient, otherServer;
};

}  // namespace testsupport
