// Reading and caching the client certificate for the expiry check.
#include "linuxhost/transport/ClientCertificateCheck.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "datasync/host/Clock.h"

namespace ZEL {
namespace linuxhost {
namespace transport {
namespace {

// Expiry on the host's wall clock, the one every other decision of the agent reads.
ClientCertificateCheck::Verdict ExpiryVerdict(X509* certificate) {
    std::time_t now = std::chrono::system_clock::to_time_t(Clock::GetInstance()->WallNow());
    const int order = X509_cmp_time(X509_get0_notAfter(certificate), &now);
    return order < 0 ? ClientCertificateCheck::Verdict::Expired : ClientCertificateCheck::Verdict::Valid;
}

}  // namespace

ClientCertificateCheck::Verdict ClientCertificateCheck::Check(const std::string& path, std::string& problem,
                                                              FileIdentity* seen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    FileIdentity before;
    if (!Identify(path, before)) {
        problem = std::string("cannot read client certificate: ") + std::strerror(errno);
        m_cache.erase(path);
        return Verdict::Unreadable;
    }
    if (seen != nullptr) *seen = before;
    auto cached = m_cache.find(path);
    if (cached == m_cache.end() || !(cached->second.identity == before)) {
        BioPtr bio(BIO_new_file(path.c_str(), "r"));
        X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        // The reads leave OpenSSL errors queued on this thread; a later TLS handshake on the
        // same thread must not mistake them for its own.
        ERR_clear_error();
        if (!certificate) {
            problem = bio ? "the file holds no PEM certificate" : "cannot open the file";
            m_cache.erase(path);
            return Verdict::Unreadable;
        }
        // Cache only when the file did not change while it was read; otherwise the next check
        // reads it again.
        FileIdentity after;
        if (Identify(path, after) && after == before) {
            Entry& entry = m_cache[path];
            entry.identity = before;
            entry.certificate = std::move(certificate);
            cached = m_cache.find(path);
        } else {
            m_cache.erase(path);
            return ExpiryVerdict(certificate.get());
        }
    }
    return ExpiryVerdict(cached->second.certificate.get());
}

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
