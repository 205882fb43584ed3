// The 2-second timer pass and the start-up scan. Not built yet: the timer runs and logs once
// that it has nothing to do; nothing is queued.
#include "datasync/agent/DataSyncAgent.h"

void DataSyncAgent::DoTimerPost(const std::wstring&) { NotAvailableYet(L"DataSyncAgent::DoTimerPost"); }

void DataSyncAgent::DeviceReadySync(bool) { NotAvailableYet(L"DataSyncAgent::DeviceReadySync"); }

bool DataSyncAgent::IsTelemetryReadyToSync() { return _b_is_start && _b_is_online; }
