// The certificate-expiry pause: its flag and leaving it after a registration. An expired
// certificate in an answer does not start the pause yet.
#include "datasync/agent/DataSyncAgent.h"

void DataSyncAgent::ResumeDataSyncAfterCertRenewal() {
    std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
    if (!m_dataSyncPausedDueToCertExpiry) return;
    const auto paused = std::chrono::steady_clock::now() - m_certExpiryPauseTime;
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(paused).count();
    m_log.i(L"%s: DataSync RESUMED after %lld seconds pause (made %d heartbeat calls)",
            L"DataSyncAgent::ResumeDataSyncAfterCertRenewal", seconds, m_heartbeatCallCount);
    m_dataSyncPausedDueToCertExpiry.exchange(false);
    m_certExpiryPauseReason.clear();
    m_heartbeatCallCount = 0;
}

bool DataSyncAgent::IsDataSyncPausedDueToCertExpiry() { return m_dataSyncPausedDueToCertExpiry.load(); }

bool DataSyncAgent::CheckAndHandleCertificateExpiryError(ZELCore::InvokeHttpResponse&) {
    NotAvailableYet(L"DataSyncAgent::CheckAndHandleCertificateExpiryError");
    return false;
}
