// The purge block and its wait.
#include "datasync/housekeeping/DevicePathPurge.h"

namespace ZEL {
namespace DataSync {

void DevicePathPurge::WaitWhileTelemetrySyncBlocked() const {
    while (IsTelemetrySyncBlocked() && m_state._b_is_start) {
        if (m_stop.WaitFor(50)) return;
    }
}

void DevicePathPurge::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    if (!m_unavailableLogged.exchange(true))
        m_log.w(L"%s: not available yet in this build",
                L"DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange");
}

}  // namespace DataSync
}  // namespace ZEL
