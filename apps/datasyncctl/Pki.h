// Keys and certificates for a private PKI on loopback (the demo's and the tests'): EC P-256 keys,
// X.509v3 certificates with the extensions of their role. A server certificate names 127.0.0.1
// and localhost. Every failure throws std::runtime_error naming the step and the certificate.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

namespace datasyncctl {
namespace pki {

enum class Role { Authority, Server, Client };

struct KeyFree {
    void operator()(EVP_PKEY* key) const;
};
struct CertFree {
    void operator()(X509* cert) const;
};

struct Issued {
    std::unique_ptr<EVP_PKEY, KeyFree> key;
    std::unique_ptr<X509, CertFree> cert;
};

// A new key and a certificate for it, valid from now + notBeforeSeconds to now +
// notAfterSeconds, signed by `issuer` (self-signed when null).
Issued Issue(const std::string& commonName, Role role, const Issued* issuer, long notBeforeSeconds,
             long notAfterSeconds);

// Writes the certificate (PEM, mode 0644) and, when `keyFile` is given, the key (PEM, 0600).
void Write(const Issued& issued, const std::string& certFile, const std::string* keyFile);

}  // namespace pki
}  // namespace datasyncctl
