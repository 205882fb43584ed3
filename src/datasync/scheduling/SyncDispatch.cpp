// Uploading one database to the endpoint families its dataset names. Not built yet: the host's
// upload requests are refused (false) with a log line.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::HandleNRT(std::wstring) {
    NotAvailableYet(L"DataSyncAgent::HandleNRT");
    return false;
}

bool DataSyncAgent::HandleSharedNRT(std::wstring) {
    NotAvailableYet(L"DataSyncAgent::HandleSharedNRT");
    return false;
}
