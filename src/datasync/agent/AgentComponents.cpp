// Building and wiring the components, and reading a policy into them.
#include "datasync/agent/AgentComponents.h"

#include <stdexcept>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/resilience/BackoffDelay.h"
#include "datasync/upload/InstalledStores.h"

namespace ZEL {
namespace DataSync {

AgentEnvironment AgentEnvironment::Host() {
    AgentEnvironment environment = InstalledEnvironment();
    environment.jitter = [](unsigned spanMs) { return ApiUtility::GetRandomJitterInSeconds(spanMs); };
    return environment;
}

namespace {

// The environment with its stores checked: the components are handed references to them.
AgentEnvironment WithStores(AgentEnvironment environment) {
    if (environment.tables == nullptr || environment.bookmarks == nullptr || environment.files == nullptr)
        throw std::invalid_argument(std::string("the agent's environment has no ") +
                                    (environment.tables == nullptr      ? "telemetry table store"
                                     : environment.bookmarks == nullptr ? "bookmark store"
                                                                        : "host file system") +
                                    " (install the host's stores, or hand fakes)");
    return environment;
}

}  // namespace

AgentComponents::AgentComponents(AgentEnvironment environment, NotificationHandler::Hooks hooks)
    : AgentComponents(WithStores(std::move(environment)), std::move(hooks), 0) {}

AgentComponents::AgentComponents(AgentEnvironment environment, NotificationHandler::Hooks hooks, int)
    : clock(environment.clock != nullptr ? *environment.clock : *Clock::GetInstance()),
      files(*environment.files),
      tables(*environment.tables),
      backoff(clock, std::move(environment.jitter), deviceMissing, endpoints, stop, log),
      purge({state, stop, clock, log, *environment.tables, *environment.bookmarks, *environment.files,
             [this] { retention.JoinRunningRetentionThreads(); },
             [this] { deviceContext.BlockLifted(); }}),
      retention(clock, *environment.tables, *environment.files, [this] { return purge.IsTelemetrySyncBlocked(); }, log),
      leg({readiness, endpoints, consent, certPause, backoff, deviceMissing, purge,
           upload::HostUploadServices({environment.tables, environment.bookmarks, environment.files}, unsaved,
                                      [this] { return purge.TryBeginUpload(); }), ledger, log}),
      deviceContext({state, readiness, endpoints, policies, consent, backoff, leg, purge, stop, clock, log}),
      dispatch({state, readiness, endpoints, policies, applicability, leg, purge, deviceContext, stop, log}),
      notifications({state, queue, deviceMissing, certPause, backoff, tasks, stop, log}, std::move(hooks)),
      timer({state, readiness, endpoints, policies, syncMap, dispatch, applicability, heartbeat, consent, backoff, purge,
             recollected, queue, clock, *environment.files, log,
             [this] { return notifications.SendRegistrationRequest(); }}),
      duplication({state, policies, applicability, recollected, *environment.tables, *environment.files, stop, log,
                   [this](int root, const std::wstring& name) { return dispatch.RemainData2Sync(root, name); },
                   [this] { timer.AllowSyncOfOnDemandTelemetry(); }}),
      worker({state, readiness, stop, queue, syncMap, timer, clock, log}) {}

void AgentComponents::ApplyPolicy(std::shared_ptr<const TelemetryPolicy> policy) {
    endpoints.ResolveEndpointUrls(*policy);
    policies.ReadContextChangeFlags(*policy);
    state._b_is_start = true;
    // KTA is switched on by the datasets: a restart must not keep it when none names it.
    endpoints.SetKtaEnabled(policies.Replace(std::move(policy)));
    stop.Changed();  // the started flag and the families: the ready waits ask again
}

}  // namespace DataSync
}  // namespace ZEL
