// Per-endpoint back-off. Not built yet beyond the records themselves: the reset command and the
// DNS recovery are logged as unavailable.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::HandleResetBackoffState() {
    NotAvailableYet(L"DataSyncAgent::HandleResetBackoffState");
    return false;
}

bool DataSyncAgent::HandleResetBackoffStateOnDnsRecovery() {
    NotAvailableYet(L"DataSyncAgent::HandleResetBackoffStateOnDnsRecovery");
    return true;
}
