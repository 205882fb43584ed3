// Per-endpoint back-off. Not built yet beyond the records themselves: every post is allowed, no
// failure starts a back-off, and the reset command and the DNS recovery are logged as unavailable.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::HandleResetBackoffState() {
    NotAvailableYet(L"DataSyncAgent::HandleResetBackoffState");
    return false;
}

bool DataSyncAgent::HandleResetBackoffStateOnDnsRecovery() {
    NotAvailableYet(L"DataSyncAgent::HandleResetBackoffStateOnDnsRecovery");
    return true;
}

bool DataSyncAgent::ShouldPostForKta() {
    NotAvailableYet(L"DataSyncAgent::ShouldPostForKta");
    return true;
}

bool DataSyncAgent::ShouldPostForNavs() {
    NotAvailableYet(L"DataSyncAgent::ShouldPostForNavs");
    return true;
}

bool DataSyncAgent::CheckForExponentialBackoffRetry(int, SyncEP::SyncEp_type) {
    NotAvailableYet(L"DataSyncAgent::CheckForExponentialBackoffRetry");
    return false;
}
