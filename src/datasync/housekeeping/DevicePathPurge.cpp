// The device-path and realm-change purge. Not built yet: no purge is ever marked pending, and a
// purge request from the host is logged as unavailable and removes nothing.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::TrySetPurgePendingOnDevicePathRealmMismatch() { return false; }

void DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    NotAvailableYet(L"DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange");
}
