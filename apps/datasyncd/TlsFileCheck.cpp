// The TLS files of a host config, as --check-config reports them.
#include "datasyncd/TlsFileCheck.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace datasyncd {
namespace {

constexpr long kSoonSeconds = 30L * 24 * 60 * 60;

// The end of the certificate in `path` (UTC), or false with `reason`.
bool CertificateEnd(const std::string& path, std::time_t& end, std::string& reason) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), &BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> cert(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    std::tm tm{};
    if (!cert || ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &tm) != 1) {
        reason = "holds no PEM certificate";
        return false;
    }
    end = ::timegm(&tm);
    return true;
}

std::string UtcText(std::time_t time) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&time));
    return text;
}

}  // namespace

void CheckTlsFiles(const std::string& configPath, const ZEL::linuxhost::TlsSettings& tls,
                   std::chrono::system_clock::time_point now, std::vector<std::string>& problems,
                   std::vector<std::string>* warnings) {
    const auto line = [&configPath](const char* key, const std::string& text) {
        return configPath + ": tls." + key + ": " + text;
    };
    const auto warn = [&](const char* key, const std::string& text) {
        if (warnings != nullptr) warnings->push_back(line(key, text));
    };
    bool readable[3] = {false, false, false};
    const struct { const char* key; const std::string& file; } files[] = {
        {"ca_file", tls.ca_file}, {"client_cert", tls.client_cert}, {"client_key", tls.client_key}};
    for (int n = 0; n < 3; ++n) {
        const std::string& file = files[n].file;
        if (file.empty()) continue;
        readable[n] = ::access(file.c_str(), R_OK) == 0;
        if (!readable[n]) problems.push_back(line(files[n].key, "cannot read " + file + ": " + std::strerror(errno)));
    }

    struct stat info {};
    if (readable[2] && ::stat(tls.client_key.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        warn("client_key", tls.client_key + " can be read by other users (mode " + mode + "); make it 0600");
    }

    if (!readable[1]) return;
    std::time_t end = 0;
    std::string reason;
    if (!CertificateEnd(tls.client_cert, end, reason)) {
        problems.push_back(line("client_cert", tls.client_cert + " " + reason));
        return;
    }
    const std::time_t nowSeconds = std::chrono::system_clock::to_time_t(now);
    if (end <= nowSeconds)
        warn("client_cert", tls.client_cert + " expired on " + UtcText(end) +
                                "; mutual-TLS uploads pause until it is renewed");
    else if (end - nowSeconds <= kSoonSeconds)
        warn("client_cert", tls.client_cert + " expires on " + UtcText(end) + ", in " +
                                std::to_string((end - nowSeconds) / 86400) + " days; renew it before then");
}

}  // namespace datasyncd
