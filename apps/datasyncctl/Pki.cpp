// Issuing keys and certificates with the OpenSSL API: a new EC P-256 key and an X.509v3
// certificate for it with the extensions of its role, self-signed or signed by an issuer.
#include "datasyncctl/Pki.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "datasyncctl/DemoFiles.h"

namespace datasyncctl {
namespace pki {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BignumFree {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using Extensions = std::vector<std::pair<int, std::string>>;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    char text[256] = {0};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error("cannot generate certificates: " + what + ": " + text);
}

const Extensions& ExtensionsOf(Role role) {
    static const Extensions authority = {{NID_basic_constraints, "critical,CA:TRUE"},
                                         {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                         {NID_subject_key_identifier, "hash"}};
    static const Extensions server = {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_key_usage, "critical,digitalSignature"},
                                      {NID_ext_key_usage, "serverAuth"},
                                      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                      {NID_authority_key_identifier, "keyid"}};
    static const Extensions client = {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_key_usage, "critical,digitalSignature"},
                                      {NID_ext_key_usage, "clientAuth"},
                                      {NID_authority_key_identifier, "keyid"}};
    return role == Role::Authority ? authority : role == Role::Server ? server : client;
}

std::string MemoryText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, size > 0 ? static_cast<size_t>(size) : 0);
}

}  // namespace

void KeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
void CertFree::operator()(X509* cert) const { X509_free(cert); }

Issued Issue(const std::string& commonName, Role role, const Issued* issuer, long notBeforeSeconds,
             long notAfterSeconds) {
    Issued issued;
    issued.key.reset(EVP_EC_gen("P-256"));
    Check(issued.key != nullptr, "EC key generation for " + commonName);
    issued.cert.reset(X509_new());
    X509* cert = issued.cert.get();
    Check(cert != nullptr && X509_set_version(cert, X509_VERSION_3) == 1, "new certificate " + commonName);

    unsigned char serial[8];
    Check(RAND_bytes(serial, sizeof serial) == 1, "serial number");
    serial[0] &= 0x7f;  // positive
    std::unique_ptr<BIGNUM, BignumFree> number(BN_bin2bn(serial, sizeof serial, nullptr));
    Check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr, "serial number");

    Check(X509_gmtime_adj(X509_getm_notBefore(cert), notBeforeSeconds) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert), notAfterSeconds) != nullptr,
          "validity of " + commonName);
    Check(X509_set_pubkey(cert, issued.key.get()) == 1, "public key of " + commonName);
    X509_NAME* subject = X509_get_subject_name(cert);
    Check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "subject " + commonName);
    X509* issuerCert = issuer ? issuer->cert.get() : cert;
    Check(X509_set_issuer_name(cert, X509_get_subject_name(issuerCert)) == 1, "issuer of " + commonName);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuerCert, cert, nullptr, nullptr, 0);
    for (const auto& extension : ExtensionsOf(role)) {
        X509_EXTENSION* made = X509V3_EXT_conf_nid(nullptr, &context, extension.first, extension.second.c_str());
        Check(made != nullptr, "extension " + extension.second + " of " + commonName);
        const int added = X509_add_ext(cert, made, -1);
        X509_EXTENSION_free(made);
        Check(added == 1, "extension " + extension.second + " of " + commonName);
    }
    EVP_PKEY* signer = issuer ? issuer->key.get() : issued.key.get();
    Check(X509_sign(cert, signer, EVP_sha256()) > 0, "signature of " + commonName);
    return issued;
}

void Write(const Issued& issued, const std::string& certFile, const std::string* keyFile) {
    BioPtr cert(BIO_new(BIO_s_mem()));
    Check(cert && PEM_write_bio_X509(cert.get(), issued.cert.get()) == 1, "encoding " + certFile);
    WriteTextFile(certFile, MemoryText(cert.get()), 0644);
    if (keyFile == nullptr) return;
    BioPtr key(BIO_new(BIO_s_mem()));
    Check(key && PEM_write_bio_PrivateKey(key.get(), issued.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "encoding " + *keyFile);
    WriteTextFile(*keyFile, MemoryText(key.get()), 0600);
}

}  // namespace pki
}  // namespace datasyncctl
