// Knows the sockets of the collector's open TLS connections, so that stopping the collector can
// end idle keep-alive connections at once. cpp-httplib only notices that it is stopping between
// requests; a connection waiting for a client's next request would otherwise hold the stop for
// the whole keep-alive time-out.
//
// A connection is registered when its handshake starts (OpenSSL info callback) and forgotten
// when OpenSSL frees it (ex-data free callback). cpp-httplib frees the SSL object before it
// closes the socket, so while a connection is registered its descriptor is still its own and
// shutting it down cannot touch an unrelated file.
//
// Thread safety: every member may be called from any thread.
// Lifetime: the tracker must outlive every connection of the SSL_CTX it is attached to.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <map>
#include <mutex>

namespace collector {

class ConnectionTracker {
public:
    ConnectionTracker() = default;
    ConnectionTracker(const ConnectionTracker&) = delete;
    ConnectionTracker& operator=(const ConnectionTracker&) = delete;

    // Tracks the connections made from `context` from now on. False when OpenSSL could not
    // allocate its bookkeeping.
    bool Attach(SSL_CTX* context);

    // Shuts down (both directions) the socket of every open connection; their threads then see
    // the end of the stream and finish.
    void ShutdownAll();

    // TLS handshakes started since Attach (successful or not).
    std::size_t Handshakes() const;

private:
    static void OnInfo(const SSL* ssl, int where, int value);
    static void OnFree(void* parent, void* data, CRYPTO_EX_DATA* exData, int index, long argl, void* argp);
    static int ConnectionIndex();
    static int ContextIndex();

    void Add(const SSL* ssl, int fd);
    void Remove(const SSL* ssl);

    mutable std::mutex m_mutex;
    std::map<const SSL*, int> m_open;  // guarded by m_mutex
    std::size_t m_handshakes = 0;      // guarded by m_mutex
};

}  // namespace collector
