// A minimal client of a line-based Unix stream socket for the control socket tests: connect,
// send bytes, read one line with a deadline. Failures are empty optionals or false.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"

namespace appstest {

class LineClient {
public:
    using Clock = std::chrono::steady_clock;
    using milliseconds = std::chrono::milliseconds;

    bool Connect(const std::string& path) {
        sockaddr_un address{AF_UNIX, {}};
        if (path.size() >= sizeof address.sun_path) return false;
        path.copy(address.sun_path, path.size());
        m_fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return ::connect(m_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    bool Send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t done = ::send(m_fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (done < 0 && errno != EINTR) return false;
            sent += done > 0 ? static_cast<size_t>(done) : 0;
        }
        return true;
    }

    void ShutdownWrite() { ::shutdown(m_fd.get(), SHUT_WR); }

    // The next line (without its newline); empty optional on EOF, error or time-out.
    std::optional<std::string> ReadLine(milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        size_t newline;
        while ((newline = m_buffer.find('\n')) == std::string::npos)
            if (!Fill(deadline)) return std::nullopt;
        std::string line = m_buffer.substr(0, newline);
        m_buffer.erase(0, newline + 1);
        return line;
    }

    // True when the peer closes the connection (after any unread lines) within `timeout`.
    bool ClosedByPeer(milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        while (Fill(deadline)) m_buffer.clear();
        return m_eof;
    }

    // Sends `requestLine` until a line comes back or `timeout` passes: for daemons still starting.
    static std::optional<std::string> RequestWhenUp(const std::string& path, const std::string& requestLine,
                                                    milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (; Clock::now() < deadline; std::this_thread::sleep_for(milliseconds(20))) {
            LineClient client;
            if (!client.Connect(path) || !client.Send(requestLine + "\n")) continue;  // not up yet
            if (auto line = client.ReadLine(std::chrono::duration_cast<milliseconds>(deadline - Clock::now())))
                return line;
        }
        return std::nullopt;
    }

private:
    bool Fill(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd readable{m_fd.get(), POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[16 * 1024];
        const ssize_t got = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
        m_eof = got == 0 || (got < 0 && errno == ECONNRESET);  // a close with unread requests resets
        if (got > 0) m_buffer.append(buffer, static_cast<size_t>(got));
        return got > 0;
    }

    platform::UniqueFd m_fd;
    bool m_eof = false;
    std::string m_buffer;
};

}  // namespace appstest
