// The host process around the agent: builds the Linux host services from the config, brings
// the agent up, serves the control socket, and takes it all down again.
//
// Start order (each phase is logged to host.log):
//   claim the control socket (refuses when another daemon runs there) -> install the folders ->
//   file logging -> host settings, transport settings, device state, push channel -> default
//   endpoint URL -> notification bus, HTTPS transport, policy agent, device services -> policy
//   watcher -> service-stop event -> agent Init -> start-up notifications (topic 6 state 0 when
//   the device is online, topic 2 state 0 when it is registered) -> agent FullInit -> the daily
//   maintenance timer, the clock-step watch and the purge-resume subscription -> serve the
//   control socket -> READY=1 to systemd -> the host tick (HostTick.h; metrics file, see below).
// The clock-step watch (ClockStepWatch.h) sleeps until the kernel reports that the wall clock
// was set (or the host clock's test offset file changed), measures the step and, for one of
// more than two seconds, publishes the system-time change (topic 13, state 0): the agent
// restarts on it.
// Stop order: STOPPING=1 to systemd (the watchdog is fed no more) -> set the stop event -> abort
// uploads in flight -> stop the host tick and remove the metrics file it wrote -> stop serving
// the control socket, the maintenance timer, the clock-step watch and watching the policy ->
// stop the bus (no notification reaches the agent while it stops) -> agent UnInit -> close the
// log files.
//
// systemd (SystemdNotifier.h, when the daemon runs as a Type=notify service): the agent's timer
// pass feeds the watchdog while the worker goes round its loop. An agent that runs no timer and
// worker by design (no policy in force yet, or telemetry scope "none") has nothing to watch:
// then the host tick feeds it, so that such a daemon is not restarted over and over, and keeps
// the STATUS= text systemd shows in step with whether the agent runs.
//
// Metrics (Metrics.h): the transport the agent uses is wrapped in UploadCounters; the metrics
// text joins those counts, the rows pending read from the files and the agent's status. The
// host tick, every 15 s from the start, writes it to metrics_textfile when one is configured;
// the control request "metrics" answers with it. A clean stop removes the file (node_exporter's
// convention for a service that does not run: no file, rather than one that says it runs).
//
// The host tick also gives freed memory back to the system (malloc_trim). It runs every 15 s
// only for a daemon with a metrics file or a NOTIFY_SOCKET; any other daemon runs it 15 s after
// an upload, a notification or a control request, and never while it is idle.
//
// Reload (SIGHUP, main.cpp): ReloadPolicy re-reads the policy file at once, as the policy
// watcher does when the file changes, so an edit takes effect without waiting for the watcher.
//
// Lifetime: Start at most once; Stop is safe twice and after a failed Start (it undoes what
// was started); the destructor calls it. The process-wide host singletons this object installs
// (bus, transport) are uninstalled by the destructor before they are destroyed.
// Thread safety: Start and Stop are called by one thread (main).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasyncd/ControlRequests.h"
#include "datasyncd/ControlServer.h"
#include "datasyncd/HostConfig.h"
#include "datasyncd/SystemdNotifier.h"
#include "datasyncd/UploadCounters.h"
#include "datasyncd/WaitingRows.h"
#include "platform/KernelObjects.h"

class DataSyncAgent;

namespace ZEL {
class PeriodicTimer;
}

namespace ZEL {
namespace linuxhost {
class CurlTransport;
class HostServices;
class NotificationBus;
class PolicyFileAgent;
class PolicyFileWatcher;
}  // namespace linuxhost
}  // namespace ZEL

namespace datasyncd {

class ClockStepWatch;
class HostTick;

class Daemon {
public:
    // `notifier` (may be null, else not owned) must outlive this object.
    explicit Daemon(HostConfig config, SystemdNotifier* notifier = nullptr);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Brings everything up. Throws std::runtime_error (naming the file, folder or socket at
    // fault) when a phase fails; what was started by then keeps running until Stop.
    void Start();

    void Stop();

    // Re-reads the policy file; when its content changed since the agent took its policy, and it
    // is usable, the agent restarts with it (topic 4 state 14). Logs what it did to host.log.
    // REQUIRES: Start succeeded. Called by the thread that calls Start and Stop.
    void ReloadPolicy();

    const std::string& ControlSocketPath() const { return m_control.SocketPath(); }

    // The metrics text (Metrics.h). REQUIRES: Start succeeded. Any thread.
    std::string MetricsText();
    // Counts the rows waiting in both folders, with their reasons, and keeps the count for the status.
    WaitingRows CountWaitingRows();
    // The last count when it is younger than a host tick, else one made now, as the status shows it.
    Json::Value WaitingStatus();

private:
    void InstallHostServices();
    void PublishStartupNotifications();
    ControlRequests::AgentHooks MakeAgentHooks();
    void ReportReady();
    void StartHostTick();
    void OnHostTick();
    void LogMetricsProblems(const std::vector<std::string>& problems);
    void RemoveMetricsFile();

    const HostConfig m_config;
    // Built with the daemon and destroyed last: the transport, the bus and the control socket
    // note their activity from Start until the agent stopped.
    const std::unique_ptr<HostTick> m_hostTick;
    ControlServer m_control;
    // The host's service objects, installed as the agent's environment; outlive all below.
    std::unique_ptr<ZEL::linuxhost::HostServices> m_host;
    ZEL::linuxhost::NotificationBus* m_bus = nullptr;  // m_host's
    std::unique_ptr<ZEL::linuxhost::CurlTransport> m_transport;
    std::unique_ptr<UploadCounters> m_uploads;  // wraps m_transport; the agent's transport
    std::shared_ptr<ZEL::linuxhost::PolicyFileAgent> m_policy;
    std::unique_ptr<ZEL::linuxhost::PolicyFileWatcher> m_policyWatcher;
    std::unique_ptr<ZEL::PeriodicTimer> m_dailyMaintenance;
    std::unique_ptr<ClockStepWatch> m_clockSteps;
    bool m_hostTickStarted = false;
    SystemdNotifier* const m_notifier;
    bool m_statusShowsStarted = false;  // what STATUS= shows; set before the host tick starts, then by it
    std::mutex m_metricsProblemMutex;
    std::string m_lastMetricsProblems;  // guarded by m_metricsProblemMutex; logged when it changes
    std::mutex m_waitingMutex;
    WaitingRows m_waiting;  // guarded by m_waitingMutex: the last count, at most one host tick old
    std::wstring m_registrationSubscription;
    std::unique_ptr<ControlRequests> m_requests;
    platform::HANDLE m_serviceStop;
    DataSyncAgent* m_agent = nullptr;  // the process-wide agent, once Init ran
    bool m_loggingConfigured = false;
    bool m_stopped = false;
};

}  // namespace datasyncd
