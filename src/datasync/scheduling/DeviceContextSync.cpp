// Device-context records handed over by the host, and the thread that posts them. The NAVP
// uploader is not built yet: records are kept in order and the thread only waits for work or
// for the service to stop, so nothing is lost and nothing pretends to be sent.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::HandleDeviceContext(std::wstring) {
    NotAvailableYet(L"DataSyncAgent::HandleDeviceContext");
    return false;
}

void DataSyncAgent::AddDeviceContextRecordToSync(std::int64_t recordId) {
    {
        std::lock_guard<std::mutex> lock(m_deviceContextMutex);
        m_deviceContextRecords.push_back(recordId);
    }
    m_log.d(L"%s: queued device context record %lld", L"DataSyncAgent::AddDeviceContextRecordToSync", recordId);
    platform::SetEvent(m_hDeviceContextWake);
}

void DataSyncAgent::DeviceContextSyncThread() {
    for (;;) {
        platform::HANDLE waits[2] = {m_hServiceStop, m_hDeviceContextWake};
        // Without a stop event only the wake event ends the wait (a record or UnInit sets it).
        const platform::DWORD count = m_hServiceStop ? 2 : 1;
        const platform::HANDLE* first = m_hServiceStop ? waits : waits + 1;
        const platform::DWORD woke = platform::WaitForMultipleObjects(count, first, false, platform::INFINITE);
        if (m_hServiceStop && woke == platform::WAIT_OBJECT_0) return;
        if (woke == platform::WAIT_FAILED) return;
        platform::ResetEvent(m_hDeviceContextWake);
        if (m_deviceContextStopRequested) return;
        if (m_hServiceStop && platform::WaitForSingleObject(m_hServiceStop, 0) == platform::WAIT_OBJECT_0) return;
        NotAvailableYet(L"DataSyncAgent::DeviceContextSyncThread");
    }
}
