// sd_notify over a Unix datagram socket.
#include "datasyncd/SystemdNotifier.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace datasyncd {
namespace {

// A whole positive decimal number, or 0 for anything else.
unsigned long long ParseCount(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return 0;
    return value;
}

}  // namespace

SystemdNotifier::Settings SystemdNotifier::FromEnvironment() {
    Settings settings;
    if (const char* socket = std::getenv("NOTIFY_SOCKET")) settings.socket = socket;
    const unsigned long long watchdogPid = ParseCount(std::getenv("WATCHDOG_PID"));
    if (watchdogPid == 0 || watchdogPid == static_cast<unsigned long long>(::getpid()))
        settings.watchdogInterval = std::chrono::microseconds(ParseCount(std::getenv("WATCHDOG_USEC")));
    return settings;
}

SystemdNotifier::SystemdNotifier(Settings settings) : m_settings(std::move(settings)) {
    const std::string& name = m_settings.socket;
    if (name.empty()) return;
    if (name[0] != '/' && name[0] != '@') {
        m_problem = "NOTIFY_SOCKET " + name + ": neither a path nor an abstract name (@...)";
        return;
    }
    if (name.size() >= sizeof m_address.sun_path) {
        m_problem = "NOTIFY_SOCKET " + name + ": too long for a Unix socket";
        return;
    }
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, name.data(), name.size());
    if (name[0] == '@') m_address.sun_path[0] = '\0';  // the abstract namespace
    m_addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());

    m_socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!m_socket) m_problem = "NOTIFY_SOCKET " + name + ": cannot create a socket: " + std::strerror(errno);
}

bool SystemdNotifier::Send(const std::string& message, int flags) {
    if (!Enabled()) return false;
    for (;;) {
        const ssize_t sent = ::sendto(m_socket.get(), message.data(), message.size(), MSG_NOSIGNAL | flags,
                                      reinterpret_cast<const sockaddr*>(&m_address), m_addressLength);
        if (sent == static_cast<ssize_t>(message.size())) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

bool SystemdNotifier::Ready(const std::string& status) {
    const bool sent = Send("READY=1\nSTATUS=" + status);
    std::lock_guard<std::mutex> lock(m_orderMutex);
    m_ready = true;
    return sent;
}

bool SystemdNotifier::Stopping() {
    std::lock_guard<std::mutex> lock(m_orderMutex);
    m_stopping = true;
    return Send("STOPPING=1\nSTATUS=stopping", MSG_DONTWAIT);
}

bool SystemdNotifier::FeedWatchdog(std::chrono::milliseconds workerBusyFor) {
    if (!WatchdogEnabled() || workerBusyFor >= m_settings.watchdogInterval / 2) return false;
    std::lock_guard<std::mutex> lock(m_orderMutex);
    return m_ready && !m_stopping && Send("WATCHDOG=1", MSG_DONTWAIT);
}

}  // namespace datasyncd
