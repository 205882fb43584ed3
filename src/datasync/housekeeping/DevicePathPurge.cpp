// The device-path and realm-change purge. Not built yet: no purge is ever marked pending, and a
// purge request from the host is logged as unavailable and removes nothing. The in-progress flag
// that blocks every upload path is already kept here.
#include <atomic>

#include "datasync/agent/DataSyncAgent.h"

namespace {
std::atomic<bool> g_telemetryPurgeInProgress{false};
}  // namespace

bool DataSyncAgent::IsTelemetryPurgeInProgress() { return g_telemetryPurgeInProgress.load(); }

void DataSyncAgent::SetTelemetryPurgeInProgress(bool inProgress) { g_telemetryPurgeInProgress.store(inProgress); }

bool DataSyncAgent::IsTelemetrySyncBlocked() { return IsTelemetryPurgeInProgress(); }

bool DataSyncAgent::TrySetPurgePendingOnDevicePathRealmMismatch() { return false; }

void DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    NotAvailableYet(L"DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange");
}

void DataSyncAgent::WaitWhileTelemetrySyncBlocked() {
    while (IsTelemetrySyncBlocked() && _b_is_start) {
        if (!m_hServiceStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (platform::WaitForSingleObject(m_hServiceStop, 50) == platform::WAIT_OBJECT_0) return;
    }
}
