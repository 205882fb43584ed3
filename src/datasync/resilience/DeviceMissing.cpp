// The device-missing (403) state: only its reset exists so far; a device-missing answer is not
// acted on yet.
#include "datasync/agent/DataSyncAgent.h"

void DataSyncAgent::Reset403DeviceMissingError() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = false;
}

bool DataSyncAgent::CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse&) {
    NotAvailableYet(L"DataSyncAgent::CheckAndHandle403DeviceMissingError");
    return false;
}
