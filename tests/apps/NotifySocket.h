// A datagram socket in the abstract namespace standing in for systemd's notify socket: hand
// Name() to the notifier or the daemon (NOTIFY_SOCKET) and read what it sent.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/UniqueFd.h"

namespace appstest {

class NotifySocket {
public:
    NotifySocket() {
        static std::atomic<int> counter{0};
        m_name = "@datasync-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        sockaddr_un address{AF_UNIX, {}};
        m_name.copy(address.sun_path + 1, m_name.size() - 1, 1);  // "@" is the leading zero byte
        if (::bind(m_fd.get(), reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_name.size())) != 0)
            throw std::runtime_error("cannot bind " + m_name);
    }

    const std::string& Name() const { return m_name; }

    // The next message, waiting at most `timeout` for it; nothing when none came.
    std::optional<std::string> Next(std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) {
        pollfd readable{m_fd.get(), POLLIN, 0};
        char buffer[1024];
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        const ssize_t got = ::recv(m_fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return got < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<size_t>(got)));
    }

private:
    std::string m_name;
    platform::UniqueFd m_fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
};

}  // namespace appstest
