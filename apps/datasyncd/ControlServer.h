// The daemon's control socket: a Unix stream socket on which each connection sends requests of
// one line each and receives one answer line per request, in order. What a request means, and
// whether the peer may ask it, is the handler's business (see ControlRequests, ControlAccess);
// this class only moves lines and hands the handler the peer's credentials, read from the
// kernel when the connection is accepted.
//
// The socket file has mode 0600; with a read group it has mode 0660 and that group, so that the
// group's members can connect (they still need to reach the state folder).
//
// Claiming and serving are two steps. Bind() claims the socket path before the daemon starts
// anything else: a socket file on which another process still accepts connections means
// another daemon runs there, and Bind refuses; a socket file nobody answers on is a leftover
// of a daemon that died and is removed. Start() begins serving once the daemon is ready;
// clients that connect in between wait in the listen backlog.
//
// Limits: a request line may be at most kMaxLineBytes long (a longer one is answered with an
// error and the connection is closed); at most kMaxConnections clients are served at once; when
// that many are connected and another one waits, the connection idle longest (nothing to answer,
// no request waiting) is closed to make room, so silent clients cannot lock the others out; a
// client that does not read its answers is not read from until it does, so no client can make
// the daemon buffer without bound. Blank lines are skipped and a final '\r' is dropped; the
// last request needs no newline.
//
// Threads: one serving thread, owned by this object, runs a poll loop over the listening
// socket, every connection and a wake descriptor; the handler runs on that thread, one request
// at a time, so it should answer promptly. Stop() wakes the loop, joins the thread, closes every
// connection and removes the socket file (only if it is still the one this server created).
// Stop is safe twice and from any thread but the serving one; the destructor calls it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "datasyncd/ControlAccess.h"
#include "platform/UniqueFd.h"

namespace datasyncd {

class ControlServer {
public:
    // Takes one request line (without its newline) and the credentials of the peer that sent
    // it, and returns one answer line (without one).
    using Handler = std::function<std::string(const std::string& request, const PeerCredentials& peer)>;

    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    static constexpr std::size_t kMaxConnections = 16;

    // `readGroup`: the group the socket file is given (mode 0660); none: mode 0600.
    explicit ControlServer(std::string socketPath, std::optional<gid_t> readGroup = std::nullopt);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Claims the socket path (see above). Throws std::runtime_error naming the path when another
    // daemon answers there, the path is too long for a Unix socket, something that is not a
    // socket is in the way, or the socket cannot be created or given the read group.
    void Bind();

    // Serves with `handler` on the serving thread. REQUIRES: Bind() succeeded; called once.
    void Start(Handler handler);

    void Stop();

    const std::string& SocketPath() const { return m_path; }

private:
    struct Connection;

    void Run();
    std::string Answer(const std::string& line, const PeerCredentials& peer);

    const std::string m_path;
    const std::optional<gid_t> m_readGroup;
    platform::UniqueFd m_listen;
    platform::UniqueFd m_wake;  // eventfd: written once by Stop
    dev_t m_socketDevice = 0;
    ino_t m_socketInode = 0;
    Handler m_handler;

    std::mutex m_stopMutex;  // serialises Stop
    bool m_stopped = false;  // guarded by m_stopMutex
    std::thread m_thread;
};

}  // namespace datasyncd
