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

    // `problem` receives a one-line reason for Unreadable. A certificate whose end date cannot
    // be compared counts as Valid: the TLS handshake then decides.
    Verdict Check(const std::string& path, std::string& problem);

private:
    struct FileIdentity {
        timespec mtime{};
        off_t size = 0;
        ino_t inode = 0;
        bool operator==(const FileIdentity& other) const {
            return mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec &&
                   size == other.size && inode == other.inode;
        }
    };
    struct Entry {
        FileIdentity identity;
        X509Ptr certificate;
    };

    static bool Identify(const std::string& path, FileIdentity& identity);

    std::mutex m_mutex;
    std::map<std::string, Entry> m_cache;  // guarded by m_mutex
};

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
