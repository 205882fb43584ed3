// The control socket's poll loop: non-blocking connections, each with an input buffer cut into
// lines and an output buffer of answers waiting to be sent.
#include "datasyncd/ControlServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <vector>

namespace datasyncd {
namespace {

// Answers waiting to be sent to one client before the server stops reading its requests.
constexpr std::size_t kMaxPendingOutput = 256 * 1024;

std::string Reason() { return std::strerror(errno); }

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// Connects to `path` without waiting. 0 when something accepts there, else the errno.
int ProbeConnect(const sockaddr_un& address) {
    platform::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) return errno;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    // A full backlog (EAGAIN) still means a listener is there.
    return errno == EAGAIN ? 0 : errno;
}

// The error as a one-line JSON answer; the text (a handler's exception message) is escaped.
std::string ErrorAnswer(const std::string& error) {
    std::string escaped;
    for (const unsigned char c : error) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += static_cast<char>(c);
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            escaped += code;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return "{\"error\":\"" + escaped + "\",\"ok\":false}";
}

}  // namespace

struct ControlServer::Connection {
    platform::UniqueFd fd;
    PeerCredentials peer;
    std::uint64_t lastActive = 0;  // the server's activity count when bytes last moved
    std::string in;
    std::string out;
    bool peerDone = false;  // the client will send nothing more
    bool closing = false;   // close once `out` is sent
};

ControlServer::ControlServer(std::string socketPath, std::optional<gid_t> readGroup)
    : m_path(std::move(socketPath)), m_readGroup(readGroup) {}

ControlServer::~ControlServer() { Stop(); }

void ControlServer::Bind() {
    sockaddr_un address{};
    if (!FillAddress(m_path, address))
        throw std::runtime_error("control socket path " + m_path + " is too long for a Unix socket (at most " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes)");

    struct stat existing {};
    if (::lstat(m_path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            throw std::runtime_error("cannot create control socket " + m_path + ": a file that is not a socket is in the way");
        const int probe = ProbeConnect(address);
        if (probe == 0)
            throw std::runtime_error("another datasyncd is running: it answers on " + m_path);
        if (probe != ECONNREFUSED)
            throw std::runtime_error("cannot check control socket " + m_path + ": " + std::strerror(probe));
        // Nobody listens: the socket of a daemon that did not stop cleanly.
        if (::unlink(m_path.c_str()) != 0 && errno != ENOENT)
            throw std::runtime_error("cannot remove stale control socket " + m_path + ": " + Reason());
    }

    platform::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) throw std::runtime_error("cannot create control socket " + m_path + ": " + Reason());
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EADDRINUSE) throw std::runtime_error("another datasyncd is running: it answers on " + m_path);
        throw std::runtime_error("cannot create control socket " + m_path + ": " + Reason());
    }
    // From here on the file is ours; remove it again if the rest fails.
    if (m_readGroup && ::chown(m_path.c_str(), static_cast<uid_t>(-1), *m_readGroup) != 0) {
        const std::string reason = Reason();
        ::unlink(m_path.c_str());
        throw std::runtime_error("cannot give control socket " + m_path + " to group " + std::to_string(*m_readGroup) +
                                 " (control_read_group): " + reason);
    }
    struct stat created {};
    if (::chmod(m_path.c_str(), m_readGroup ? 0660 : 0600) != 0 || ::stat(m_path.c_str(), &created) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        const std::string reason = Reason();
        ::unlink(m_path.c_str());
        throw std::runtime_error("cannot create control socket " + m_path + ": " + reason);
    }
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        const std::string reason = Reason();
        ::unlink(m_path.c_str());
        throw std::runtime_error("cannot create control socket " + m_path + ": eventfd: " + reason);
    }
    m_socketDevice = created.st_dev;
    m_socketInode = created.st_ino;
    m_listen = std::move(listener);
    m_wake = std::move(wake);
}

void ControlServer::Start(Handler handler) {
    if (!m_listen) throw std::logic_error("ControlServer::Start before a successful Bind");
    m_handler = std::move(handler);
    m_thread = std::thread([this] { Run(); });
}

void ControlServer::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    if (m_stopped) return;
    m_stopped = true;
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd write of 1 cannot block or fail short of overflow, which one write cannot reach.
        (void)!::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
    }
    if (m_listen) {
        m_listen.reset();
        // Remove the file only if it is still ours: after a forced start-up of another daemon
        // the path may name that daemon's socket.
        struct stat current {};
        if (::lstat(m_path.c_str(), &current) == 0 && current.st_dev == m_socketDevice &&
            current.st_ino == m_socketInode)
            ::unlink(m_path.c_str());
    }
    m_wake.reset();
}

std::string ControlServer::Answer(const std::string& line, const PeerCredentials& peer) {
    try {
        return m_handler(line, peer);
    } catch (const std::exception& error) {
        return ErrorAnswer(std::string("internal error: ") + error.what());
    } catch (...) {
        return ErrorAnswer("internal error");
    }
}

void ControlServer::Run() {
    std::list<Connection> connections;
    std::uint64_t activity = 0;

    // Turns complete request lines into answers while the client keeps up with them.
    auto process = [this](Connection& c) {
        while (!c.closing && c.out.size() < kMaxPendingOutput) {
            const size_t newline = c.in.find('\n');
            if (newline == std::string::npos) {
                if (c.in.size() > kMaxLineBytes) {
                    c.out += ErrorAnswer("request line longer than " + std::to_string(kMaxLineBytes) + " bytes") + "\n";
                    c.closing = true;
                    c.in.clear();
                } else if (c.peerDone) {
                    // A last request without its newline still gets its answer.
                    if (!c.in.empty() && c.in.back() == '\r') c.in.pop_back();
                    if (!c.in.empty()) c.out += Answer(c.in, c.peer) + "\n";
                    c.in.clear();
                    c.closing = true;
                }
                return;
            }
            if (newline > kMaxLineBytes) {
                c.out += ErrorAnswer("request line longer than " + std::to_string(kMaxLineBytes) + " bytes") + "\n";
                c.closing = true;
                c.in.clear();
                return;
            }
            std::string line = c.in.substr(0, newline);
            c.in.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            c.out += Answer(line, c.peer) + "\n";
        }
    };

    // False when the connection failed and must be dropped.
    auto receive = [](Connection& c) {
        char buffer[16 * 1024];
        while (!c.peerDone && c.in.size() <= kMaxLineBytes) {
            const ssize_t got = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                c.in.append(buffer, static_cast<size_t>(got));
                if (c.in.find('\n', c.in.size() - static_cast<size_t>(got)) != std::string::npos) break;
                continue;
            }
            if (got == 0) {
                c.peerDone = true;
                break;
            }
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        return true;
    };

    auto send = [](Connection& c) {
        while (!c.out.empty()) {
            const ssize_t sent = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent >= 0) {
                c.out.erase(0, static_cast<size_t>(sent));
                continue;
            }
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        return true;
    };

    // The connection that has waited longest with nothing to answer and no request to serve.
    auto longestIdle = [&connections] {
        auto found = connections.end();
        for (auto c = connections.begin(); c != connections.end(); ++c) {
            const bool idle = c->out.empty() && !c->closing && c->in.find('\n') == std::string::npos;
            if (idle && (found == connections.end() || c->lastActive < found->lastActive)) found = c;
        }
        return found;
    };

    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    bool acceptPaused = false;
    for (;;) {
        fds.clear();
        polled.clear();
        fds.push_back({m_wake.get(), POLLIN, 0});
        // When full, a waiting client is noticed only if an idle connection can make room for it.
        const bool room = connections.size() < kMaxConnections || longestIdle() != connections.end();
        const short acceptEvents = room && !acceptPaused ? POLLIN : 0;
        fds.push_back({m_listen.get(), acceptEvents, 0});
        for (Connection& c : connections) {
            short events = 0;
            // Read only while there is room and no complete request waits for its turn.
            if (!c.peerDone && !c.closing && c.out.size() < kMaxPendingOutput && c.in.find('\n') == std::string::npos)
                events |= POLLIN;
            if (!c.out.empty()) events |= POLLOUT;
            fds.push_back({c.fd.get(), events, 0});
            polled.push_back(&c);
        }

        // Out of descriptors or memory, accepting is paused for a moment rather than retried
        // in a busy loop.
        const int timeout = acceptPaused ? 100 : -1;
        acceptPaused = false;
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            return;  // cannot happen with valid descriptors; stopping serving is all that is left
        }
        if (fds[0].revents != 0) return;  // Stop: connections close as `connections` goes

        for (size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const short revents = fds[i + 2].revents;
            bool alive = true;
            if (revents != 0) c.lastActive = ++activity;
            if (revents & (POLLIN | POLLHUP | POLLERR)) alive = receive(c);
            // Answers are produced only while the client takes them; when it has taken them
            // all, the requests held back meanwhile get their turn at once (no event would
            // otherwise come for them).
            while (alive) {
                process(c);
                alive = send(c);
                if (!c.out.empty() || c.closing) break;
                // A last request without its newline counts once the client has hung up.
                const bool waiting = c.in.find('\n') != std::string::npos || (c.peerDone && !c.in.empty());
                if (!waiting) break;
            }
            if (!alive || ((c.closing || c.peerDone) && c.out.empty() && c.in.empty())) c.fd.reset();
        }
        connections.remove_if([](const Connection& c) { return !c.fd; });

        // Accepted after the connections were served, so that closing an idle one for room
        // cannot pull a connection from under `polled`.
        if (fds[1].revents & POLLIN) {
            if (connections.size() >= kMaxConnections) {
                const auto idle = longestIdle();
                if (idle != connections.end()) connections.erase(idle);
            }
            while (connections.size() < kMaxConnections) {
                const int client = ::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client < 0) {
                    acceptPaused = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
                    break;  // EAGAIN, a client that gave up meanwhile, or no resources
                }
                connections.emplace_back();
                connections.back().fd.reset(client);
                connections.back().peer = ReadPeerCredentials(client);
                connections.back().lastActive = ++activity;
            }
        }
    }
}

}  // namespace datasyncd
