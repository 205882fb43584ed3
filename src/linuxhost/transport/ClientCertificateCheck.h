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

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>

#include "linuxhost/transport/CurlHandles.h"

namespace ZEL {
namespace linuxhost {
namespace transport {

class ClientCertificateCheck {
public:
    enum class Verdict { Valid, Expired, Unreadable };

    // What tells one version of a file from the next: a renewal tool that writes the file in
    // place or renames a new one over it changes it.
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const FileIdentity& other) const {
            return device == other.device && inode == other.inode && size == other.size &&
                   mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
        }
        bool operator!=(const FileIdentity& other) const { return !(*this == other); }
    };
    // False (errno set) when `path` cannot be looked at.
    static bool Identify(const std::string& path, FileIdentity& identity);

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
