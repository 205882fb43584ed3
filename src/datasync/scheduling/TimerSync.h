// TimerSync: the 2-second timer pass and the start-up sync.
//
// DoTimerPost walks the sync map and queues ONE_DATASET_SYNC for each record that is due:
// near-real-time records with a trigger, scheduled records whose interval has passed or that
// still hold unsent rows. The pass also creates the records of scheduled datasets as their files
// appear, rescans the near-real-time files every 5 minutes, and asks for a registration when
// telemetry waits and the device is not registered. Device-ready starts a scan of the
// near-real-time files with unsent rows and, once per service start, the device-status upload.
//
// Each record is read, judged and written back on its own: the gates and store queries run with
// no lock of the map held, and a record whose upload runs is left for the next pass.
//
// Thread safety: DoTimerPost and RecheckNrtDatasetStates on the timer thread (one pass at a
// time), DeviceReadySync(false) on the worker, AllowSyncOfOnDemandTelemetry on notification
// tasks. The recheck clock belongs to the timer thread; the first-device-ready flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "datasync/common/AgentState.h"
#include "datasync/common/MessageQueue.h"
#include "datasync/common/SyncMessage.h"
#include "datasync/config/Applicability.h"
#include "datasync/config/ConsentGate.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/housekeeping/RecollectedTelemetry.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/resilience/HeartbeatSuppression.h"
#include "datasync/scheduling/FolderLook.h"
#include "datasync/scheduling/SyncDispatch.h"
#include "datasync/scheduling/SyncMap.h"
#include "datasync/scheduling/SyncReadiness.h"

namespace ZEL {
namespace DataSync {

class TimerSync {
public:
    struct Parts {
        const AgentState& state;
        const SyncReadiness& readiness;
        const EndpointConfig& endpoints;
        const DatasetPolicies& policies;
        SyncMap& syncMap;
        SyncDispatcher& dispatch;
        ApplicabilityGate& applicability;
        HeartbeatSuppression& heartbeat;
        const ConsentGate& consent;
        ExponentialBackoff& backoff;
        const DevicePathPurge& purge;
        RecollectedTelemetry& recollected;
        CMessageQueue<sync_msg>& queue;
        Clock& clock;
        HostFiles& files;
        Log& log;
        // Sends the registration request (once until a registration answers it).
        std::function<bool()> sendRegistrationRequest;
    };

    explicit TimerSync(Parts parts) : m_parts(std::move(parts)), m_log(m_parts.log), m_folderLook(m_parts.clock, m_parts.files) {}

    void DoTimerPost(const std::wstring& timerName);
    void InitTimerDatasetStates();
    bool IsTelemetryReadyToSync();
    void DeviceReadySync(bool recoveryCheckOnly);
    void RecheckNrtDatasetStates();
    void SyncImmediateTelemetries();
    void SyncOnDemandTimerTelemetry();
    void AllowSyncOfOnDemandTelemetry();
    // The throttled applicability check of a record: a dataset found not applicable is
    // evaluated again only every 100th call; scan records (sync_kind 1) every call.
    bool IsApplicableForSyncWithThrottling(const std::wstring& key, _sync_data& record);

private:
    void VisitRecord(const std::wstring& key);
    // The throttled check on a copy of the record, its fields written back.
    bool ApplicableWithThrottling(const std::wstring& key, _sync_data& record);
    void QueueNearRealTimeRecord(const std::wstring& key, const _sync_data& record);
    void QueueScheduledRecord(const std::wstring& key, const _sync_data& record);
    _sync_data NewScheduledRecord(const std::wstring& path, int root, std::uint32_t interval);

    Parts m_parts;
    Log& m_log;
    std::atomic<bool> m_firstDeviceReady{true};
    FolderLook m_folderLook;  // the scheduled datasets' folders, for InitTimerDatasetStates
    // The 5-minute rescan's clock (tick count in ms); 0 until the first pass with a ready
    // endpoint starts it. Timer thread only.
    std::uint64_t m_recheckTick = 0;
};

}  // namespace DataSync
}  // namespace ZEL
