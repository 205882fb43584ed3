// The daemon's start and stop sequences.
#include "datasyncd/Daemon.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "datasync/agent/AgentStatus.h"
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Impersonation.h"
#include "datasyncd/ClockStepWatch.h"
#include "datasyncd/HostTick.h"
#include "datasyncd/Installation.h"
#include "datasyncd/Metrics.h"
#include "datasyncd/PendingRows.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/HostServices.h"
#include "linuxhost/HostState.h"
#include "linuxhost/datastore/HostStores.h"
#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/policy/PolicyFileAgent.h"
#include "linuxhost/policy/PolicyFileWatcher.h"
#include "linuxhost/transport/CurlTransport.h"
#include "linuxhost/util/HostClock.h"
#include "linuxhost/watch/FileWatcher.h"

namespace datasyncd {
namespace {

using ZEL::linuxhost::HostLog;

// How long a control request waits for the bus to deliver what it published. The agent may hold
// the bus for up to 500 ms per start-up notification; a stop ends such waits at once (they wait
// on the stop event), so this bound never delays a stop.
constexpr std::chrono::milliseconds kDeliveryWait{2000};

// The daily maintenance (retention) is announced once a day, on the monotonic clock from the start.
constexpr std::chrono::hours kDailyMaintenancePeriod{24};

// The host tick: how often the metrics file is written (node_exporter's textfile convention)
// and, while the agent runs no timer, how often the watchdog is fed instead; without either,
// how long after uploads or requests freed memory goes back to the system.
constexpr std::chrono::seconds kHostTickPeriod{15};

using ZEL::String::UTF16ToUTF8;
using ZEL::String::UTF8ToUTF16;

// What `systemctl status` shows of the daemon.
std::string ServiceStatusText(bool agentStarted) {
    return agentStarted ? "running"
                        : "running; the agent syncs nothing: no usable policy, or telemetry scope \"none\"";
}

// The URLs the agent's families post to now, for telling its uploads apart.
FamilyUrls AgentFamilyUrls() {
    const DataSyncAgent::EndpointUrls urls = DataSyncAgent::GetInstance()->CurrentEndpointUrls();
    return {
        {"kta", UTF16ToUTF8(urls.kta)}, {"navs", UTF16ToUTF8(urls.navs)}, {"navp", UTF16ToUTF8(urls.navp)}};
}

// The families the policy's dataset `datasetId` posts to; none for a dataset it does not name
// or has disabled.
std::vector<std::string> PolicyFamiliesOf(DataSyncAgent* agent, const std::string& datasetId) {
    const ZEL::DataSet policy = agent->GetDatasetPolicy(UTF8ToUTF16(datasetId), 1);
    if (policy.dataset_id().empty() || !policy.dataset_enable()) return {};
    const SyncEP endpoints(policy.syncEPs());
    std::vector<std::string> families;
    if (endpoints.isKTAEnabled()) families.push_back("kta");
    if (endpoints.isNAVSEnabled()) families.push_back("navs");
    if (endpoints.isNAVPEnabled()) families.push_back("navp");
    return families;
}

void Phase(const wchar_t* what) { HostLog().i(L"datasyncd: %s", std::wstring(what)); }

}  // namespace

Daemon::Daemon(HostConfig config, SystemdNotifier* notifier)
    : m_config(std::move(config)),
      m_hostTick(std::make_unique<HostTick>(kHostTickPeriod)),
      m_control(m_config.folders.state_dir + "control.sock", m_config.controlReadGid),
      m_notifier(notifier) {}

Daemon::~Daemon() {
    Stop();
    // Nothing runs any more that could reach the host's objects through the doors.
    if (m_host) ZEL::DataSync::InstallEnvironment({});
}

void Daemon::Start() {
    // Claimed before anything else runs, so that a second daemon on the same installation
    // leaves the first one's files and databases alone.
    m_control.Bind();

    ZEL::linuxhost::InstallHostFolders(m_config.folders);
    ZEL::linuxhost::ConfigureFileLogging(m_config.folders.log_dir, m_config.logLevel);
    m_loggingConfigured = true;
    HostLog().i(L"datasyncd: starting, pid %d, log level %s, control socket %s", static_cast<int>(::getpid()),
                UTF8ToUTF16(m_config.logLevelText), UTF8ToUTF16(m_control.SocketPath()));

    InstallHostServices();

    Phase(L"starting the policy watcher");
    m_policyWatcher = std::make_unique<ZEL::linuxhost::PolicyFileWatcher>(
        std::chrono::seconds(1), [policy = m_policy] { return policy->Reload(); });

    m_serviceStop = platform::CreateEventW(true, false);
    if (!m_serviceStop) throw std::runtime_error("cannot create the service-stop event");

    Phase(L"agent Init");
    DataSyncAgent* agent = DataSyncAgent::GetInstance();
    agent->SetDefaultDeviceEndpointUrl(UTF8ToUTF16(m_config.settings.default_endpoint_url));
    agent->Init(m_serviceStop);
    m_agent = agent;

    PublishStartupNotifications();

    if (m_notifier != nullptr && m_notifier->WatchdogEnabled()) {
        SystemdNotifier* notifier = m_notifier;
        HostLog().i(L"datasyncd: the agent's timer feeds systemd's watchdog (interval %lld ms)",
                    static_cast<long long>(notifier->CurrentSettings().watchdogInterval.count() / 1000));
        m_agent->SetLivenessCallback([notifier](std::chrono::milliseconds workerBusyFor) {
            notifier->FeedWatchdog(workerBusyFor);
        });
    }

    Phase(L"agent FullInit");
    m_agent->FullInit();
    HostLog().i(L"datasyncd: agent started=%d, full init done=%d", m_agent->IsStarted() ? 1 : 0,
                m_agent->IsFullInitDone() ? 1 : 0);

    Phase(L"daily maintenance every 24 hours; clock steps published; a registration lifts a completed purge's "
          L"block");
    ZEL::linuxhost::NotificationBus* maintenanceBus = m_bus;
    m_dailyMaintenance = std::make_unique<ZEL::PeriodicTimer>(
        kDailyMaintenancePeriod, kDailyMaintenancePeriod, L"daily maintenance", [maintenanceBus](const std::wstring&) {
            ZEL::ZELNotificationData maintenance(ZEL::DEVICE_MAINTENANCE, ZEL::DM_DAILY_MAINTENANCE, L"");
            maintenanceBus->Notify(maintenance, L"datasyncd");
        });
    m_clockSteps = std::make_unique<ClockStepWatch>(
        *ZEL::Clock::GetInstance(),
        [maintenanceBus](std::chrono::seconds step) {
            HostLog().i(L"datasyncd: the wall clock was set (%lld s): publishing the system-time change",
                        static_cast<long long>(step.count()));
            ZEL::ZELNotificationData changed(ZEL::TOPIC_SYSTEM_TIME, 0, L"");
            maintenanceBus->Notify(changed, L"datasyncd");
        },
        ZEL::linuxhost::HostClock::OffsetFile(), [] { ZEL::linuxhost::HostClock::ReloadOffset(); });
    HostTick* tick = m_hostTick.get();
    m_registrationSubscription = m_bus->Subscribe(
        [agent, tick](ZEL::ZELNotificationData& data) {
            // A notification may have restarted the agent: what the old one held is freed memory.
            tick->NoteActivity();
            if (data.getTopicId() != ZEL::TOPIC_DEVICE_REGISTRATION || data.getEventState() != ZEL::STATE_DONE ||
                !agent->PurgeCompleted())
                return;
            const std::string refused = agent->ResumeAfterPurge();
            if (refused.empty())
                HostLog().i(L"datasyncd: device registered after a completed purge: uploads resume");
            else
                HostLog().e(L"datasyncd: %s", UTF8ToUTF16(refused));
        },
        false);

    Phase(L"serving the control socket");
    ZEL::linuxhost::NotificationBus* bus = m_bus;
    m_requests = std::make_unique<ControlRequests>(MakeAgentHooks(), bus, [bus] { bus->WaitIdle(kDeliveryWait); });
    ControlRequests* requests = m_requests.get();
    ControlAccessRules access;
    access.daemonUid = ::geteuid();
    access.readGroup = m_config.controlReadGid;
    if (access.readGroup)
        HostLog().i(L"datasyncd: members of group %s may ask the control socket for status and metrics",
                    UTF8ToUTF16(m_config.controlReadGroup));
    m_control.Start([requests, access, tick](const std::string& line, const PeerCredentials& peer) {
        std::string answer =
            requests->HandleLine(line, DecideControlAccess(peer, access), DescribePeer(peer));
        tick->NoteActivity();
        return answer;
    });
    Phase(L"running");
    ReportReady();
    StartHostTick();
}

void Daemon::ReportReady() {
    if (m_notifier == nullptr || !m_notifier->Enabled()) return;
    // The control socket listens since Bind and is served from here on: a client that connects
    // once systemd has the READY=1 gets its answer.
    m_statusShowsStarted = m_agent->IsStarted();
    if (!m_notifier->Ready(ServiceStatusText(m_statusShowsStarted)))
        HostLog().e(L"datasyncd: cannot send READY=1 to %s",
                    UTF8ToUTF16(m_notifier->CurrentSettings().socket));
}

void Daemon::StartHostTick() {
    if (!m_config.metricsTextfile.empty()) Phase(L"writing the metrics file every 15 seconds");
    // systemd is told of the agent's state, and the watchdog fed while the agent runs no timer,
    // at each tick; a daemon without either only gives memory back after it was busy.
    const bool periodic =
        !m_config.metricsTextfile.empty() || (m_notifier != nullptr && m_notifier->Enabled());
    m_hostTick->Start(periodic, [this] { OnHostTick(); });
    m_hostTickStarted = true;
}

void Daemon::OnHostTick() {
    // Memory freed after a burst of uploads goes back to the system instead of staying resident
    // while the agent waits.
    ::malloc_trim(0);
    const bool started = m_agent->IsStarted();
    if (m_notifier != nullptr) {
        // An agent without timer and worker (no policy in force, scope "none") feeds nothing itself.
        if (!started) m_notifier->FeedWatchdog(std::chrono::milliseconds(0));
        if (started != m_statusShowsStarted && m_notifier->Send("STATUS=" + ServiceStatusText(started)))
            m_statusShowsStarted = started;
    }
    if (m_config.metricsTextfile.empty()) return;
    try {
        ReplaceFile(m_config.metricsTextfile, MetricsText(), 0644);
    } catch (const std::exception& error) {
        LogMetricsProblems({error.what()});
    }
}

std::string Daemon::MetricsText() {
    MetricsInput input;
    input.version = DATASYNC_VERSION;
    input.status = m_agent->GetStatusSnapshot();
    input.host = DescribeHostState();
    input.uploads = m_uploads->Snapshot();
    const WaitingRows waiting = CountWaitingRows();
    input.pendingRows = waiting.byFamily;
    input.rowsWaiting = RowsByReason(waiting);
    input.steadyNow = ZEL::Clock::GetInstance()->SteadyNow();
    return RenderMetrics(input);
}

WaitingRows Daemon::CountWaitingRows() {
    std::vector<std::string> problems;
    DataSyncAgent* agent = m_agent;
    const DatasetFamilies familiesOf = [agent](const std::string& id) { return PolicyFamiliesOf(agent, id); };
    PendingRowCounts byFamily = NoPendingRows();
    DatasetRowCounts byDataset;
    AddPendingRows(m_config.folders.service_db_dir, familiesOf, byFamily, problems, &byDataset);
    {
        // The shared folder's files are the logged-on user's: read as that user, like the agent.
        ZEL::ImpersonateUser user;
        const int entered = user.EnterLogOnUserMode();
        if (entered == 0)
            AddPendingRows(m_config.folders.shared_db_dir, familiesOf, byFamily, problems, &byDataset);
        else
            problems.push_back(m_config.folders.shared_db_dir +
                               ": rows not counted: cannot act as the logged-on user (error " +
                               std::to_string(entered) + "; is logon_user set?)");
    }
    LogMetricsProblems(problems);
    WaitingSources sources;
    sources.nameOf = [agent](const std::string& id) {
        return UTF16ToUTF8(agent->GetDatasetPolicy(UTF8ToUTF16(id), 1).dataset_name());
    };
    sources.reasonOf = [agent](const std::string& id, const std::string& family) {
        const SyncEP::SyncEp_type type = family == "kta"    ? SyncEP::SyncEP_KTA
                                         : family == "navs" ? SyncEP::SyncEP_NAVS
                                                            : SyncEP::SyncEP_NAVP;
        return agent->WhyRowsWait(UTF8ToUTF16(id), type);
    };
    const auto now = std::chrono::system_clock::to_time_t(ZEL::Clock::GetInstance()->WallNow());
    WaitingRows waiting = ExplainWaitingRows(byFamily, byDataset, sources, now);
    waiting.problems = std::move(problems);
    std::lock_guard<std::mutex> lock(m_waitingMutex);
    m_waiting = waiting;
    return waiting;
}

Json::Value Daemon::WaitingStatus() {
    const auto now = std::chrono::system_clock::to_time_t(ZEL::Clock::GetInstance()->WallNow());
    {
        std::lock_guard<std::mutex> lock(m_waitingMutex);
        const std::int64_t age = now - m_waiting.countedAt;
        if (m_waiting.countedAt != 0 && age >= 0 && age < kHostTickPeriod.count()) return WaitingJson(m_waiting);
    }
    return WaitingJson(CountWaitingRows());
}

// Each distinct set of problems is logged once, not every 15 seconds.
void Daemon::LogMetricsProblems(const std::vector<std::string>& problems) {
    std::string joined;
    for (const std::string& problem : problems) joined += (joined.empty() ? "" : "; ") + problem;
    {
        std::lock_guard<std::mutex> lock(m_metricsProblemMutex);
        if (joined == m_lastMetricsProblems) return;
        m_lastMetricsProblems = joined;
    }
    if (!joined.empty()) HostLog().w(L"datasyncd: metrics: %s", UTF8ToUTF16(joined));
}

// Only a daemon that wrote the file removes it: one that never got as far (another daemon runs
// on the installation) leaves the running one's file alone.
void Daemon::RemoveMetricsFile() {
    const std::string& file = m_config.metricsTextfile;
    if (::unlink(file.c_str()) == 0)
        HostLog().i(L"datasyncd: removed the metrics file %s", UTF8ToUTF16(file));
    else if (errno != ENOENT)
        HostLog().w(L"datasyncd: metrics: cannot remove %s: %s", UTF8ToUTF16(file),
                    UTF8ToUTF16(std::strerror(errno)));
}

void Daemon::ReloadPolicy() {
    if (!m_policyWatcher) return;
    const std::string& file = m_config.settings.policy_file;
    HostLog().i(L"datasyncd: received SIGHUP: re-reading the policy file %s", UTF8ToUTF16(file));
    // The watcher takes a new content once two looks in a row saw it, so that a file caught
    // half-written is never used. Whoever sends the signal has finished writing: the second
    // look follows at once. Looks are serialised with the watcher's own, so a change is
    // announced once, by whichever look settles it.
    const bool changed = m_policyWatcher->CheckOnce();
    if (changed || m_policyWatcher->CheckOnce()) {
        HostLog().i(L"datasyncd: the policy file changed: the agent restarts with the new policy");
        return;
    }
    const std::string problem = m_policy->CurrentStatus().problem;
    if (problem.empty())
        HostLog().i(L"datasyncd: the policy file is as the agent took it: nothing to do");
    else
        HostLog().w(L"datasyncd: the policy file cannot be used (%s): the policy in force stays",
                    UTF8ToUTF16(problem));
}

void Daemon::InstallHostServices() {
    Phase(L"installing host settings, transport settings, device state and push channel");
    ZEL::linuxhost::InstallHostSettings(m_config.settings);
    ZEL::linuxhost::InstallTlsSettings(m_config.tls);
    const ZEL::linuxhost::DeviceState device = m_config.device;
    ZEL::linuxhost::UpdateDeviceState([&device](ZEL::linuxhost::DeviceState& state) { state = device; });
    const ZEL::linuxhost::PushChannelState push = m_config.pushChannel;
    ZEL::linuxhost::UpdatePushChannel([&push](ZEL::linuxhost::PushChannelState& state) { state = push; });

    Phase(L"installing the host services, transport and policy agent");
    m_host = std::make_unique<ZEL::linuxhost::HostServices>();
    m_bus = &m_host->Bus();
    ZEL::DataSync::AgentEnvironment environment = m_host->Environment();
    m_transport = std::make_unique<ZEL::linuxhost::CurlTransport>();
    HostTick* tick = m_hostTick.get();
    m_uploads = std::make_unique<UploadCounters>(*m_transport, AgentFamilyUrls, *environment.clock,
                                                 [tick] { tick->NoteActivity(); });
    environment.transport = m_uploads.get();
    m_policy = std::make_shared<ZEL::linuxhost::PolicyFileAgent>();
    m_policy->Reload();
    environment.config = m_policy.get();
    ZEL::DataSync::InstallEnvironment(environment);

    // A broken policy does not stop the daemon (the watcher picks up the fixed file), but it
    // must not go unnoticed either: the reading above logged it, the console shows it too.
    std::vector<std::string> problems;
    ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(m_config.settings.policy_file, problems, &problems);
    for (const std::string& problem : problems) std::fprintf(stderr, "datasyncd: warning: %s\n", problem.c_str());
}

void Daemon::PublishStartupNotifications() {
    ZEL::ZELPublisherSubscriber* bus = m_bus;
    if (m_config.device.online) {
        Phase(L"publishing device ready (topic 6 state 0)");
        ZEL::ZELNotificationData ready(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE, L"");
        bus->Notify(ready, L"datasyncd");
    }
    if (m_config.device.registered) {
        Phase(L"publishing registration done (topic 2 state 0)");
        ZEL::ZELNotificationData registered(
            ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE,
            RegistrationDonePayload(m_config.device.id, zel::registration::TriggerSourceConverter::toString(1)));
        bus->Notify(registered, L"datasyncd");
    }
}

ControlRequests::AgentHooks Daemon::MakeAgentHooks() {
    DataSyncAgent* agent = m_agent;
    ControlRequests::AgentHooks hooks;
    hooks.statusSnapshot = [agent] { return agent->GetStatusSnapshot(); };
    hooks.purge = [agent] { return ZEL::DataSync::PurgeReportJson(agent->PurgeWithReport()); };
    hooks.resume = [agent] { return agent->ResumeAfterPurge(); };
    hooks.waiting = [this] { return WaitingStatus(); };
    // Looked up first: the agent takes any id and would post nothing for one that is not there.
    hooks.addDeviceContext = [agent, folder = m_config.folders.service_db_dir](std::int64_t id) {
        std::string missing = DeviceContextRecordMissing(folder, id);
        if (missing.empty()) agent->AddDeviceContextRecordToSync(id);
        return missing;
    };
    hooks.metrics = [this] { return MetricsText(); };
    return hooks;
}

void Daemon::Stop() {
    if (m_stopped) return;
    m_stopped = true;
    if (m_loggingConfigured) Phase(L"stopping");
    if (m_agent) m_agent->SetLivenessCallback(nullptr);
    if (m_notifier != nullptr) m_notifier->Stopping();
    if (m_serviceStop) platform::SetEvent(m_serviceStop);
    if (m_transport) m_transport->RequestStop();
    m_hostTick->Stop();
    if (m_hostTickStarted && !m_config.metricsTextfile.empty()) RemoveMetricsFile();
    m_control.Stop();
    m_dailyMaintenance.reset();
    if (m_clockSteps) m_clockSteps->Stop();
    if (m_bus && !m_registrationSubscription.empty()) m_bus->Unsubscribe(m_registrationSubscription);
    if (m_policyWatcher) m_policyWatcher->Stop();
    // The bus stops before the agent: a notification delivered during UnInit (a policy change
    // restarting the agent, say) would race the agent's own shutdown.
    if (m_bus) m_bus->Shutdown();
    if (m_agent) {
        Phase(L"agent UnInit");
        m_agent->UnInit();
    }
    if (m_loggingConfigured) {
        Phase(L"stopped");
        ZEL::linuxhost::ShutdownFileLogging();
    }
}

}  // namespace datasyncd
