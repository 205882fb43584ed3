// AgentComponents: every component of the agent, built and wired in one place, without threads
// of its own running. DataSyncAgent owns one and adds the lifecycle (Init, FullInit, NullInit,
// UnInit); tests and benchmarks build one to drive single steps through the components' own
// interfaces.
//
// Members are declared (and so built) in dependency order: each takes references to members
// above it only, and they are destroyed in reverse.
//
//   log, clock, state, stop, queue   shared by all (common/)
//   endpoints, policies, gates       configuration (config/)
//   deviceMissing, backoff, pause,   resilience (resilience/)
//   heartbeat
//   purge, retention, recollected    housekeeping (housekeeping/)
//   unsaved                          bookmark files that refused a write (upload/)
//   leg, deviceContext, dispatch,    scheduling (scheduling/)
//   syncMap, timer
//   duplication                      the "sendTelemetry" command (housekeeping/), on the timer
//   tasks, notifications, worker     agent core (agent/)
#pragma once

#include <functional>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/agent/Notifications.h"
#include "datasync/agent/SyncWorker.h"
#include "datasync/agent/TaskRunner.h"
#include "datasync/common/AgentState.h"
#include "datasync/common/MessageQueue.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/SyncMessage.h"
#include "datasync/config/Applicability.h"
#include "datasync/config/ConsentGate.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/host/Clock.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/host/Log.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/housekeeping/RecollectedTelemetry.h"
#include "datasync/housekeeping/TelemetryDuplication.h"
#include "datasync/housekeeping/TelemetryRetentionHandler.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/resilience/CertExpiryPause.h"
#include "datasync/resilience/DeviceMissing.h"
#include "datasync/resilience/HeartbeatSuppression.h"
#include "datasync/scheduling/DeviceContextSync.h"
#include "datasync/scheduling/FamilyLeg.h"
#include "datasync/scheduling/SyncDispatch.h"
#include "datasync/scheduling/SyncMap.h"
#include "datasync/scheduling/SyncReadiness.h"
#include "datasync/scheduling/TimerSync.h"
#include "datasync/upload/UnsavedBookmarks.h"

namespace ZEL {
namespace DataSync {

class AgentComponents {
public:
    // The components run on `environment`'s clock (the clock door's when it has none) and jitter;
    // its objects must outlive the components.
    // Throws std::invalid_argument naming the store or file system `environment` lacks.
    explicit AgentComponents(AgentEnvironment environment, NotificationHandler::Hooks hooks = {});
    AgentComponents(const AgentComponents&) = delete;
    AgentComponents& operator=(const AgentComponents&) = delete;

    // The part of a full initialisation that reads the policy into the components: endpoints,
    // context-change flags, the started flag, the dataset lists and KTA's enablement. The
    // dataset lists keep `policy` (never null) as it is.
    void ApplyPolicy(std::shared_ptr<const TelemetryPolicy> policy);

private:
    // REQUIRES: the environment's stores and files are set.
    AgentComponents(AgentEnvironment environment, NotificationHandler::Hooks hooks, int checked);

public:

    Log log;
    Clock& clock;
    AgentState state;
    StopSignal stop{clock};
    CMessageQueue<sync_msg> queue;
    HostFiles& files;  // the roots' folders
    TelemetryTables& tables;

    EndpointConfig endpoints{log};
    DatasetPolicies policies;
    ApplicabilityGate applicability{policies, log};
    ConsentGate consent;
    SyncReadiness readiness{state, endpoints};

    DeviceMissingState deviceMissing{clock, log};
    ExponentialBackoff backoff;
    CertExpiryPause certPause{clock, log};
    HeartbeatSuppression heartbeat{log};

    DevicePathPurge purge;
    TelemetryRetentionHandler retention;
    RecollectedTelemetry recollected;

    UnsavedBookmarks unsaved{clock};
    UploadLedger ledger{clock};

    FamilyLeg leg;
    DeviceContextSync deviceContext;
    SyncDispatcher dispatch;
    SyncMap syncMap{state, dispatch, clock, log};

    TaskRunner tasks;
    NotificationHandler notifications;
    TimerSync timer;
    TelemetryDuplication duplication;
    SyncWorker worker;
};

}  // namespace DataSync
}  // namespace ZEL
