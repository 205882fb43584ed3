// DevicePathPurge: the device-path and realm-change purge. While a purge is pending or runs,
// no upload path sends anything: they ask IsTelemetrySyncBlocked, and the ones that may wait
// wait in WaitWhileTelemetrySyncBlocked until the block ends, the agent stops or the service
// stops.
//
// Not built yet: no purge is ever marked pending, and a purge request from the host is logged
// once as unavailable and removes nothing.
//
// Thread safety: any thread; the flag is atomic. The wait holds no lock.
#pragma once

#include <atomic>

#include "datasync/common/AgentState.h"
#include "datasync/common/StopSignal.h"
#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {

class DevicePathPurge {
public:
    DevicePathPurge(const AgentState& state, const StopSignal& stop, Log& log)
        : m_state(state), m_stop(stop), m_log(log) {}

    bool IsTelemetryPurgeInProgress() const { return m_purgeInProgress.load(); }
    void SetTelemetryPurgeInProgress(bool inProgress) { m_purgeInProgress.store(inProgress); }
    bool IsTelemetrySyncBlocked() const { return IsTelemetryPurgeInProgress(); }
    // Waits in 50 ms steps while uploads are blocked, as long as the agent runs and no stop
    // comes.
    void WaitWhileTelemetrySyncBlocked() const;

    bool TrySetPurgePendingOnDevicePathRealmMismatch() { return false; }
    void PurgeLocalTelemetryStoresForDevicePathRealmChange();

private:
    const AgentState& m_state;
    const StopSignal& m_stop;
    Log& m_log;
    std::atomic<bool> m_purgeInProgress{false};
    std::atomic<bool> m_unavailableLogged{false};
};

}  // namespace DataSync
}  // namespace ZEL
