// OpenSSL callbacks that keep the collector's table of open TLS connections.
#include "datasync-collector/ConnectionTracker.h"

#include <sys/socket.h>

namespace collector {

int ConnectionTracker::ConnectionIndex() {
    // The free callback runs for every SSL object of the process; it acts only on those that
    // carry a tracker in this slot.
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &ConnectionTracker::OnFree);
    return index;
}

int ConnectionTracker::ContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

bool ConnectionTracker::Attach(SSL_CTX* context) {
    if (ConnectionIndex() < 0 || ContextIndex() < 0) return false;
    if (SSL_CTX_set_ex_data(context, ContextIndex(), this) != 1) return false;
    SSL_CTX_set_info_callback(context, &ConnectionTracker::OnInfo);
    return true;
}

void ConnectionTracker::OnInfo(const SSL* ssl, int where, int /*value*/) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
    auto* tracker = static_cast<ConnectionTracker*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
    if (tracker == nullptr) return;
    // TLS 1.3 reports further "handshake starts" for post-handshake messages; register once.
    SSL* mutableSsl = const_cast<SSL*>(ssl);
    if (SSL_get_ex_data(mutableSsl, ConnectionIndex()) != nullptr) return;
    if (SSL_set_ex_data(mutableSsl, ConnectionIndex(), tracker) != 1) return;
    tracker->Add(ssl, SSL_get_fd(ssl));
}

void ConnectionTracker::OnFree(void* parent, void* data, CRYPTO_EX_DATA*, int, long, void*) {
    if (data != nullptr) static_cast<ConnectionTracker*>(data)->Remove(static_cast<const SSL*>(parent));
}

void ConnectionTracker::Add(const SSL* ssl, int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_handshakes;
    if (fd >= 0) m_open[ssl] = fd;
}

void ConnectionTracker::Remove(const SSL* ssl) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(ssl);
}

void ConnectionTracker::ShutdownAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& connection : m_open) ::shutdown(connection.second, SHUT_RDWR);
}

std::size_t ConnectionTracker::Handshakes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handshakes;
}

}  // namespace collector
