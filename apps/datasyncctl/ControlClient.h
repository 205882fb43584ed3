// The client side of the daemon's control socket: one connection, requests of one JSON line
// each, one JSON answer line per request.
//
// Errors are ControlClientError with a one-line text for the user: "cannot connect to <path>:
// <reason>" when no daemon answers, and texts naming the socket for a lost connection, a
// time-out or an answer that is not JSON. An {"ok":false} answer is not an error here: it is
// returned like any other, for the caller to report.
//
// Thread safety: one object belongs to one thread.
#pragma once

#include <json/json.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "platform/UniqueFd.h"

namespace datasyncctl {

class ControlClientError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ControlClient {
public:
    // The largest answer accepted (a status of a busy agent is far smaller).
    static constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;

    // `answerTimeout` bounds the wait for each answer.
    explicit ControlClient(std::string socketPath,
                           std::chrono::milliseconds answerTimeout = std::chrono::seconds(30));
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // The control socket of the daemon whose state folder is `stateDir`.
    static std::string SocketPathOf(const std::string& stateDir);

    void Connect();

    // Sends `request` and returns the parsed answer. REQUIRES: Connect() succeeded.
    Json::Value Request(const Json::Value& request);

    const std::string& SocketPath() const { return m_path; }

private:
    std::string m_path;
    std::chrono::milliseconds m_timeout;
    platform::UniqueFd m_fd;
    std::string m_buffered;  // bytes after the last answer's newline
};

}  // namespace datasyncctl
