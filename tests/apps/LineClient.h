// A minimal client of a line-based Unix stream socket for the control socket tests: connect,
// send bytes, read one line with a deadline. Failures are empty optionals or false.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace appstest {

class LineClient {
public:
    using Clock = std::chrono::steady_clock;
    LineClient() = default;
    ~LineClient() {
        if (m_fd >= 0) ::close(m_fd);
    }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connect(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, path.data(), path.size());
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    bool Send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t done = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (done < 0 && errno != EINTR) return false;
            sent += done > 0 ? static_cast<size_t>(done) : 0;
        }
        return true;
    }

    void ShutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

    // The next line (without its newline); empty optional on EOF, error or time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        for (size_t newline; (newline = m_buffer.find('\n')) == std::string::npos;)
            if (!Fill(deadline)) return std::nullopt;
        const size_t newline = m_buffer.find('\n');
        std::string line = m_buffer.substr(0, newline);
        m_buffer.erase(0, newline + 1);
        return line;
    }

    // True when the peer closes the connection (after any unread lines) within `timeout`.
    bool ClosedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        while (Fill(deadline)) m_buffer.clear();
        return m_eof;
    }

    // Sends `requestLine` until a line comes back or `timeout` passes: for daemons still starting.
    static std::optional<std::string> RequestWhenUp(const std::string& path, const std::string& requestLine,
                                                    std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (; Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            LineClient client;
            if (!client.Connect(path) || !client.Send(requestLine + "\n")) continue;  // not up yet
            if (auto line = client.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())))
                return line;
        }
        return std::nullopt;
    }

private:
    bool Fill(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{m_fd, POLLIN, 0};
        if (left <= 0 || m_fd < 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[16 * 1024];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            m_eof = got == 0 || errno == ECONNRESET;  // a close with unread requests resets
            return false;
        }
        m_buffer.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int m_fd = -1;
    bool m_eof = false;
    std::string m_buffer;
};

}  // namespace appstest
