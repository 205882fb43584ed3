// The daemon's messages to systemd for a Type=notify service: one datagram per message to the
// Unix socket that NOTIFY_SOCKET names (a path, or "@name" for the abstract namespace).
//
//   READY=1     the daemon serves its control socket and the agent has started
//   STOPPING=1  a stop has begun; no WATCHDOG=1 follows it
//   WATCHDOG=1  fed by the agent's timer pass: sent only while the worker went round its loop
//               within half the watchdog interval (WATCHDOG_USEC), so a stuck worker or a dead
//               timer both let systemd's watchdog fire; never before READY=1 nor after
//               STOPPING=1
//
// The protocol is one sendto() per message, so it is written here instead of linking
// libsystemd. Without NOTIFY_SOCKET (a daemon run by hand, by the demo or by tests) every call
// does nothing and returns false.
//
// Thread safety: every member may be called from any thread; each message is one datagram.
// STOPPING=1 and WATCHDOG=1 are sent under one small lock, so no WATCHDOG=1 can overtake a
// STOPPING=1; both are sent without waiting (MSG_DONTWAIT), so the lock never waits on the
// socket. READY=1 is sent before the lock is taken to let WATCHDOG=1 through.
// Lifetime: the socket is opened by the constructor and closed by the destructor.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <mutex>
#include <string>

#include "platform/UniqueFd.h"

namespace datasyncd {

class SystemdNotifier {
public:
    struct Settings {
        std::string socket;                             // NOTIFY_SOCKET; empty: no messages
        std::chrono::microseconds watchdogInterval{0};  // WATCHDOG_USEC; 0: no watchdog
    };

    // NOTIFY_SOCKET and WATCHDOG_USEC of this process's environment; the watchdog is off when
    // WATCHDOG_PID names another process (the variables were meant for a parent).
    static Settings FromEnvironment();

    // Opens the datagram socket. When it cannot (a path too long for a Unix socket, no socket
    // left), Problem() says why and the notifier stays disabled.
    explicit SystemdNotifier(Settings settings);
    SystemdNotifier(const SystemdNotifier&) = delete;
    SystemdNotifier& operator=(const SystemdNotifier&) = delete;

    bool Enabled() const { return static_cast<bool>(m_socket); }
    bool WatchdogEnabled() const { return Enabled() && m_settings.watchdogInterval.count() > 0; }
    const Settings& CurrentSettings() const { return m_settings; }
    // Why a configured NOTIFY_SOCKET is not used; empty otherwise.
    const std::string& Problem() const { return m_problem; }

    // "READY=1" with a STATUS= line; from then on FeedWatchdog may send. True when sent.
    bool Ready(const std::string& status);
    // "STOPPING=1"; from then on FeedWatchdog sends nothing.
    bool Stopping();
    // "WATCHDOG=1" when the watchdog is on, READY=1 went out, no stop has begun and
    // the worker has been inside one message (`workerBusyFor`) for less than half the watchdog
    // interval. True when sent.
    bool FeedWatchdog(std::chrono::milliseconds workerBusyFor);

    // One message of newline-separated assignments. False when disabled or sendto failed.
    bool Send(const std::string& message, int flags = 0);

private:
    const Settings m_settings;
    platform::UniqueFd m_socket;
    sockaddr_un m_address{};
    socklen_t m_addressLength = 0;
    std::string m_problem;
    std::mutex m_orderMutex;
    bool m_ready = false;     // guarded by m_orderMutex
    bool m_stopping = false;  // guarded by m_orderMutex
};

}  // namespace datasyncd
