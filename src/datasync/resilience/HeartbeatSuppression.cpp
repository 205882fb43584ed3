// Heartbeat suppression of the device-status dataset. Not built yet: every record may be synced.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::ShouldSyncHeartbeatTelemetry(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::ShouldSyncHeartbeatTelemetry");
    return true;
}
