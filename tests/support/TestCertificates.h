// A private PKI for TLS tests, generated with the OpenSSL API into a folder: a CA; a server
// certificate for 127.0.0.1 and localhost (subjectAltName IP and DNS) signed by it; a valid and
// an expired client certificate signed by it; and an unrelated second CA with its own server
// certificate (a server that the first CA cannot vouch for). EC P-256 keys keep generation to
// a few milliseconds.
//
// Every file is PEM. Throws std::runtime_error when OpenSSL fails.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct CertificateFiles {
    std::string cert;
    std::string key;
};

class TestCertificates {
public:
    static constexpr long kDay = 24 * 60 * 60;

    // Writes every file into `folder` (which ends with '/').
    explicit TestCertificates(const std::string& folder) {
        Issued ca = Issue("DataSync Test CA", nullptr, -kDay, 30 * kDay, CaExtensions());
        Issued otherCa = Issue("Unrelated Test CA", nullptr, -kDay, 30 * kDay, CaExtensions());
        caCert = Write(folder, "ca", ca).cert;
        server = Write(folder, "server", Issue("127.0.0.1", &ca, -kDay, 30 * kDay, ServerExtensions()));
        client = Write(folder, "client", Issue("dev-0001", &ca, -kDay, 30 * kDay, ClientExtensions()));
        expiredClient =
            Write(folder, "client-expired", Issue("dev-0001", &ca, -3 * kDay, -kDay, ClientExtensions()));
        otherServer = Write(folder, "other-server", Issue("127.0.0.1", &otherCa, -kDay, 30 * kDay, ServerExtensions()));
    }

    std::string caCert;
    CertificateFiles server;
    CertificateFiles client;
    CertificateFiles expiredClient;
    CertificateFiles otherServer;

private:
    using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
    using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;
    using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
    using Extensions = std::vector<std::pair<int, std::string>>;

    struct Issued {
        KeyPtr key{nullptr, &EVP_PKEY_free};
        CertPtr cert{nullptr, &X509_free};
    };

    static void Check(bool ok, const char* what) {
        if (ok) return;
        const unsigned long code = ERR_get_error();
        char text[256] = {0};
        ERR_error_string_n(code, text, sizeof text);
        throw std::runtime_error(std::string("test certificates: ") + what + ": " + text);
    }

    static Extensions CaExtensions() {
        return {{NID_basic_constraints, "critical,CA:TRUE"},
                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                {NID_subject_key_identifier, "hash"}};
    }
    static Extensions ServerExtensions() {
        return {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature"},
                {NID_ext_key_usage, "serverAuth"},
                {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                {NID_authority_key_identifier, "keyid"}};
    }
    static Extensions ClientExtensions() {
        return {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature"},
                {NID_ext_key_usage, "clientAuth"},
                {NID_authority_key_identifier, "keyid"}};
    }

    // A new key and a certificate for it, valid from now + notBefore to now + notAfter
    // (seconds), signed by `issuer` (self-signed when null).
    static Issued Issue(const std::string& commonName, const Issued* issuer, long notBefore, long notAfter,
                        const Extensions& extensions) {
        Issued issued;
        issued.key.reset(EVP_EC_gen("P-256"));
        Check(issued.key != nullptr, "EC key generation");
        issued.cert.reset(X509_new());
        X509* cert = issued.cert.get();
        Check(cert != nullptr && X509_set_version(cert, X509_VERSION_3) == 1, "X509_new");

        unsigned char serial[8];
        Check(RAND_bytes(serial, sizeof serial) == 1, "serial");
        serial[0] &= 0x7f;  // positive
        std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr), &BN_free);
        Check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr, "serial");

        Check(X509_gmtime_adj(X509_getm_notBefore(cert), notBefore) != nullptr &&
                  X509_gmtime_adj(X509_getm_notAfter(cert), notAfter) != nullptr,
              "validity");
        Check(X509_set_pubkey(cert, issued.key.get()) == 1, "public key");
        X509_NAME* subject = X509_get_subject_name(cert);
        Check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
              "subject");
        X509* issuerCert = issuer ? issuer->cert.get() : cert;
        Check(X509_set_issuer_name(cert, X509_get_subject_name(issuerCert)) == 1, "issuer");

        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuerCert, cert, nullptr, nullptr, 0);
        for (const auto& extension : extensions) {
            X509_EXTENSION* made = X509V3_EXT_conf_nid(nullptr, &context, extension.first, extension.second.c_str());
            Check(made != nullptr, "extension");
            const int added = X509_add_ext(cert, made, -1);
            X509_EXTENSION_free(made);
            Check(added == 1, "extension");
        }
        EVP_PKEY* signer = issuer ? issuer->key.get() : issued.key.get();
        Check(X509_sign(cert, signer, EVP_sha256()) > 0, "signature");
        return issued;
    }

    static CertificateFiles Write(const std::string& folder, const std::string& name, const Issued& issued) {
        CertificateFiles files{folder + name + ".pem", folder + name + "-key.pem"};
        BioPtr certOut(BIO_new_file(files.cert.c_str(), "w"), &BIO_free);
        Check(certOut && PEM_write_bio_X509(certOut.get(), issued.cert.get()) == 1, "writing a certificate");
        BioPtr keyOut(BIO_new_file(files.key.c_str(), "w"), &BIO_free);
        Check(keyOut && PEM_write_bio_PrivateKey(keyOut.get(), issued.key.get(), nullptr, nullptr, 0, nullptr,
                                                 nullptr) == 1,
              "writing a key");
        return files;
    }
};

}  // namespace testsupport
