// The certificate-expiry pause and its heartbeat allowance.
#include "datasync/resilience/CertExpiryPause.h"

#include <climits>
#include <sstream>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

// Seconds to wait after the previous allowed heartbeat call (after the pause start for the
// first), indexed by the number of calls allowed so far.
constexpr int kHeartbeatWaits[] = {10, 20, 40, 60, 120, 240, 300};
constexpr int kHeartbeatWaitEntries = static_cast<int>(sizeof(kHeartbeatWaits) / sizeof(kHeartbeatWaits[0]));
constexpr int kHeartbeatWaitAfterSchedule = 300;

// Whole seconds, truncated toward zero.
long long WholeSeconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

}  // namespace

int CertExpiryPause::HeartbeatWaitSeconds(int heartbeatCallCount) {
    if (heartbeatCallCount < 0) heartbeatCallCount = 0;
    return heartbeatCallCount < kHeartbeatWaitEntries ? kHeartbeatWaits[heartbeatCallCount]
                                                      : kHeartbeatWaitAfterSchedule;
}

void CertExpiryPause::PublishLocked() {
    Status status;
    status.paused = m_dataSyncPausedDueToCertExpiry.load();
    status.reason = m_certExpiryPauseReason;
    status.heartbeatCalls = m_heartbeatCallCount;
    status.pauseTime = m_certExpiryPauseTime;
    status.lastHeartbeatCallTime = m_lastHeartbeatCallTime;
    m_status.Publish(std::move(status));
}

bool CertExpiryPause::IsCertificateExpiryError(const ZELCore::InvokeHttpResponse& response) {
    if (response.resultCode != ZELCore::TransportResult::CLIENT_CERT_EXPIRED) return false;
    m_log.d(L"%s: Certificate expiry error detected (ERROR_ON_EXPIRED_REGISTRATION)",
            L"DataSyncAgent::IsCertificateExpiryError");
    return true;
}

bool CertExpiryPause::CheckAndHandleCertificateExpiryError(const ZELCore::InvokeHttpResponse& response,
                                                          bool presentedCertificate) {
    if (!IsCertificateExpiryError(response)) {
        const int status = response.response.statusCode;
        if (presentedCertificate && response.resultCode == 0 && status >= 200 && status < 300 && IsPaused())
            ResumeDataSyncAfterCertRenewal(L", a heartbeat call was accepted");
        return false;
    }
    std::wostringstream reason;
    reason << L"Certificate error: HTTP=" << response.response.statusCode << L", ResultCode=" << response.resultCode;
    if (!response.response.message.empty()) reason << L", Message=" << String::UTF8ToUTF16(response.response.message);
    PauseDataSyncDueToCertExpiry(reason.str());
    return true;
}

void CertExpiryPause::PauseDataSyncDueToCertExpiry(const std::wstring& reason) {
    const wchar_t* const function = L"DataSyncAgent::PauseDataSyncDueToCertExpiry";
    std::wstring copy = reason;  // copied before any state changes, so a failed copy changes nothing
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        if (m_dataSyncPausedDueToCertExpiry.load()) return;
        m_dataSyncPausedDueToCertExpiry.exchange(true);
        m_certExpiryPauseReason.swap(copy);
        const auto now = m_clock.SteadyNow();
        m_certExpiryPauseTime = now;
        m_lastHeartbeatCallTime = now;
        m_heartbeatCallCount = 0;
        PublishLocked();
    }
    m_log.e(L"%s: DataSync PAUSED due to certificate expiry: %s", function, reason);
    m_log.i(L"%s: Heartbeat calls use exponential backoff: 10s, 20s, 40s, 60s, 120s, 240s, 300s...", function);
}

bool CertExpiryPause::IsDataSyncPausedDueToCertExpiry() {
    if (!m_dataSyncPausedDueToCertExpiry.load()) return false;
    int callNumber = 0;
    int next = 0;
    long long pausedFor = 0;
    long long waited = 0;
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        // A registration may have lifted the pause between the read above and the lock.
        if (!m_dataSyncPausedDueToCertExpiry.load()) return false;
        const auto now = m_clock.SteadyNow();
        waited = WholeSeconds(now - m_lastHeartbeatCallTime);
        if (waited < HeartbeatWaitSeconds(m_heartbeatCallCount)) return true;

        // A heartbeat call is due: this caller goes ahead with its upload.
        m_lastHeartbeatCallTime = now;
        if (m_heartbeatCallCount < INT_MAX) ++m_heartbeatCallCount;
        callNumber = m_heartbeatCallCount;
        pausedFor = WholeSeconds(now - m_certExpiryPauseTime);
        next = HeartbeatWaitSeconds(callNumber);
        PublishLocked();
    }
    m_log.w(L"%s: Allowing heartbeat call #%d while paused (paused for %lld sec, waited %lld sec, next in %d sec)",
            L"DataSyncAgent::IsDataSyncPausedDueToCertExpiry", callNumber, pausedFor, waited, next);
    return false;
}

void CertExpiryPause::ResumeDataSyncAfterCertRenewal(const wchar_t* cause) {
    long long seconds = 0;
    int calls = 0;
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        if (!m_dataSyncPausedDueToCertExpiry.load()) return;
        seconds = WholeSeconds(m_clock.SteadyNow() - m_certExpiryPauseTime);
        calls = m_heartbeatCallCount;
        m_dataSyncPausedDueToCertExpiry.exchange(false);
        m_certExpiryPauseReason.clear();
        m_heartbeatCallCount = 0;
        PublishLocked();
    }
    m_log.i(L"%s: DataSync RESUMED after %lld seconds pause (made %d heartbeat calls)%s",
            L"DataSyncAgent::ResumeDataSyncAfterCertRenewal", seconds, calls, std::wstring(cause));
}

}  // namespace DataSync
}  // namespace ZEL
