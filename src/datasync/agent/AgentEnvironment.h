// AgentEnvironment: every host service the agent reaches, in one place. The module never names a
// host implementation: it reaches its host through these interfaces (datasync/host/), either
// handed to it here or through the static doors (Clock::GetInstance(), CoreUtility::GetInstance(),
// zel::AgentFactory, ...), which read the environment installed with InstallEnvironment.
//
// Who builds it: the daemon's main() (through the Linux host's HostServices, which owns the host's
// default service objects and returns their environment); tests build environments of fakes, or
// take HostServices' and replace what they fake.
//
// Lifetime: the environment holds no object; every pointer is "not owned" and each object must
// outlive the agent and everything that may still call through a door (the agent's threads, the
// bus's subscribers). Null members mean "none": each door then answers as its header says (the
// clock door falls back to the system clock, the transport door answers null, ...).
//
// Installation: InstallEnvironment copies the pointers into the process-wide door slots. It is
// called once before any agent thread starts (the daemon at start-up; tests per fixture, and
// again with an empty environment when the fixture ends). A door's own setter (Clock::SetInstance,
// zel::AgentFactory::SetConfigPolicyAgent, ...) replaces one slot later on; InstalledEnvironment
// reads the slots back.
//
// Thread safety: InstallEnvironment and InstalledEnvironment may be called from any thread; the
// doors read their slots atomically, but swapping an object while another thread uses it is the
// installer's concern (install before the threads start, uninstall after they stopped).
#pragma once

#include "datasync/host/Log.h"
#include "datasync/resilience/Backoff.h"

namespace ZEL {
class Clock;
class CoreUtility;
class ZELPublisherSubscriber;
class IConfigAgent;
namespace AgentInterface {
namespace Notification {
class INotificationAgent;
}  // namespace Notification
}  // namespace AgentInterface
class DeviceFacts;
class ApplicabilityEvaluator;
class ZelStatusManager;
class EpUrlProvider;
class CriticalEvents;
class Impersonation;
class Watching;
class Registry;
}  // namespace ZEL

namespace ZEL::DataSync {
class TelemetryTables;
class BookmarkStore;
class HostFiles;
}  // namespace ZEL::DataSync

namespace ZEL {
namespace DataSync {

struct AgentEnvironment {
    Clock* clock = nullptr;             // null: the system clock
    ExponentialBackoff::Jitter jitter;  // empty: the host's random jitter (Host())
    CoreUtility* transport = nullptr;   // the HTTPS transport
    ZELPublisherSubscriber* bus = nullptr;
    IConfigAgent* config = nullptr;  // the policy agent (zel::AgentFactory)
    AgentInterface::Notification::INotificationAgent* notification = nullptr;
    DeviceFacts* device = nullptr;                    // ownership, subscription and consent facts
    ApplicabilityEvaluator* applicability = nullptr;  // zel::ZELHelperFactory
    ZelStatusManager* status = nullptr;               // zel::ZELHelperFactory
    EpUrlProvider* urls = nullptr;
    CriticalEvents* criticalEvents = nullptr;
    Impersonation* impersonation = nullptr;  // null: no identity switch, never admin
    Watching* watching = nullptr;            // null: no file watchers or timers are started
    // Empty leaves the installed factory alone: the host's logging set-up and a test's log
    // capture install theirs with utility::SetLogSinkFactory before anything logs.
    LogSinkFactory logSinks;
    // The stores and files (upload/InstalledStores.h); null installs none, so that putting an
    // earlier environment back leaves nothing of the one it replaces.
    TelemetryTables* tables = nullptr;
    BookmarkStore* bookmarks = nullptr;
    HostFiles* files = nullptr;
    Registry* registry = nullptr;

    // The installed environment, with the host's random jitter.
    static AgentEnvironment Host();
};

// Copies `environment` into the doors' slots (see above).
void InstallEnvironment(const AgentEnvironment& environment);

// What the doors answer now (the clock door's fallback included; jitter left empty).
AgentEnvironment InstalledEnvironment();

}  // namespace DataSync
}  // namespace ZEL
