// The dataset sync map and change-driven sync. Not built yet: change notifications and queued
// database syncs are logged as unavailable and nothing is uploaded.
#include "datasync/agent/DataSyncAgent.h"

void DataSyncAgent::InternalDBChangesNotify(std::wstring) { NotAvailableYet(L"DataSyncAgent::DBChangesNotify"); }

void DataSyncAgent::SharedDBChangesNotify(std::wstring) { NotAvailableYet(L"DataSyncAgent::DBChangesNotify"); }

void DataSyncAgent::SyncDB(std::wstring) { NotAvailableYet(L"DataSyncAgent::SyncDB"); }
