// The check made before a mutual-TLS request: is the configured client certificate readable and
// still valid? An expired certificate is reported before anything is sent, so that the agent
// can pause instead of being refused by the server over and over.
//
// Certificates are cached by path and file identity (modification time, size, inode), so a
// renewed certificate written in place or renamed over the old one is read again at the next
// request. Expiry is judged at every check against the host's wall clock (Clock::GetInstance).
//
// Thread safety: Check may be called from several threads at once.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "linuxhost/transport/CurlHandles.h"
#include "linuxhost/util/FileIdentity.h"

namespace ZEL {
namespace linuxhost {
namespace transport {

class ClientCertificateCheck {
public:
    enum class Verdict { Valid, Expired, Unreadable };

    // A renewal tool that writes the file in place or renames a new one over it changes it.
    using FileIdentity = linuxhost::FileIdentity;
    // False (errno set) when `path` cannot be looked at.
    static bool Identify(const std::string& path, FileIdentity& identity) {
        return FileIdentity::Of(path, identity);
    }

    // `problem` receives a one-line reason for Unreadable. A certificate whose end date cannot
    // be compared counts as Valid: the TLS handshake then decides. `seen` (optional) receives
    // the identity of the file that was judged.
    Verdict Check(const std::string& path, std::string& problem, FileIdentity* seen = nullptr);

private:
    struct Entry {
        FileIdentity identity;
        X509Ptr certificate;
    };

    std::mutex m_mutex;
    std::map<std::string, Entry> m_cache;  // guarded by m_mutex
};

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
