// Control socket client: connect, write a line, read a line with a deadline.
#include "datasyncctl/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace datasyncctl {

ControlClient::ControlClient(std::string socketPath, std::chrono::milliseconds answerTimeout)
    : m_path(std::move(socketPath)), m_timeout(answerTimeout) {}

std::string ControlClient::SocketPathOf(const std::string& stateDir) {
    if (!stateDir.empty() && stateDir.back() == '/') return stateDir + "control.sock";
    return stateDir + "/control.sock";
}

void ControlClient::Connect() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_path.size() >= sizeof address.sun_path)
        throw ControlClientError("cannot connect to " + m_path + ": path too long for a Unix socket");
    std::memcpy(address.sun_path, m_path.data(), m_path.size());
    platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throw ControlClientError("cannot connect to " + m_path + ": " + std::strerror(errno));
    int result;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        std::string reason = std::strerror(errno);
        if (errno == ECONNREFUSED) reason += " (no datasyncd is running there; the socket file is left over)";
        if (errno == ENOENT) reason += " (is datasyncd running with this state folder?)";
        throw ControlClientError("cannot connect to " + m_path + ": " + reason);
    }
    m_fd = std::move(fd);
    m_buffered.clear();
}

Json::Value ControlClient::Request(const Json::Value& request) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    const std::string line = Json::writeString(writer, request) + "\n";

    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t done = ::send(m_fd.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (done < 0) {
            if (errno == EINTR) continue;
            throw ControlClientError("lost the connection to " + m_path + ": " + std::strerror(errno));
        }
        sent += static_cast<size_t>(done);
    }

    const auto deadline = std::chrono::steady_clock::now() + m_timeout;
    size_t newline;
    while ((newline = m_buffered.find('\n')) == std::string::npos) {
        if (m_buffered.size() > kMaxAnswerBytes)
            throw ControlClientError("the answer from " + m_path + " is larger than 16 MiB");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw ControlClientError("no answer from " + m_path + " within " + std::to_string(m_timeout.count()) + " ms");
        pollfd readable{m_fd.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            throw ControlClientError("lost the connection to " + m_path + ": " + std::strerror(errno));
        if (ready <= 0) continue;
        char buffer[16 * 1024];
        const ssize_t got = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
        if (got == 0) throw ControlClientError("the daemon closed the connection on " + m_path + " without an answer");
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw ControlClientError("lost the connection to " + m_path + ": " + std::strerror(errno));
        }
        m_buffered.append(buffer, static_cast<size_t>(got));
    }
    const std::string answerText = m_buffered.substr(0, newline);
    m_buffered.erase(0, newline + 1);

    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value answer;
    std::string errors;
    if (!reader->parse(answerText.data(), answerText.data() + answerText.size(), &answer, &errors) ||
        !answer.isObject() || !answer["ok"].isBool())
        throw ControlClientError("the answer from " + m_path + " is not a control answer: " + answerText.substr(0, 200));
    return answer;
}

}  // namespace datasyncctl
