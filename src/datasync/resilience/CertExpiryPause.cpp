// The certificate-expiry pause. An upload answer with transport result code 34 (the client
// certificate has expired) pauses every KTA and NAVS upload until the device registers again.
// While paused, the gate still lets one upload through now and then ("heartbeat calls") on a
// schedule that widens from 10 s to 300 s, so the server keeps hearing from the device without
// being flooded. Whichever upload asks first once the wait is over gets the call, whatever its
// dataset. NAVP uploads and the device-context sync do not ask the gate.
//
// The state is class-wide and lives in memory only: every load of the agent starts unpaused.
// Waits are measured on the monotonic clock of ZEL::Clock, so a wall clock set back or forward
// neither stretches nor cuts them.
//
// Thread safety: the gate and the pause run on whichever thread uploads, the resume on the
// bus thread. Every member is read and written under m_certExpiryStateMutex, except the
// lock-free read of the flag at the start of the gate; the flag is written only while the
// mutex is held. The mutex is held for no other lock: log lines are written after it is
// released.
#include <climits>
#include <sstream>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/StringUtil.h"

namespace {

// Seconds to wait after the previous allowed heartbeat call (after the pause start for the
// first), indexed by the number of calls allowed so far.
constexpr int kHeartbeatWaits[] = {10, 20, 40, 60, 120, 240, 300};
constexpr int kHeartbeatWaitEntries = static_cast<int>(sizeof(kHeartbeatWaits) / sizeof(kHeartbeatWaits[0]));
constexpr int kHeartbeatWaitAfterSchedule = 300;

std::chrono::steady_clock::time_point SteadyNow() { return ZEL::Clock::GetInstance()->SteadyNow(); }

// Whole seconds, truncated toward zero.
long long WholeSeconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

}  // namespace

int DataSyncAgent::HeartbeatWaitSeconds(int heartbeatCallCount) {
    if (heartbeatCallCount < 0) heartbeatCallCount = 0;
    return heartbeatCallCount < kHeartbeatWaitEntries ? kHeartbeatWaits[heartbeatCallCount]
                                                      : kHeartbeatWaitAfterSchedule;
}

bool DataSyncAgent::IsCertificateExpiryError(const ZELCore::InvokeHttpResponse& response) {
    if (response.resultCode != ZELCore::TransportResult::CLIENT_CERT_EXPIRED) return false;
    m_log.d(L"%s: Certificate expiry error detected (ERROR_ON_EXPIRED_REGISTRATION)",
            L"DataSyncAgent::IsCertificateExpiryError");
    return true;
}

bool DataSyncAgent::CheckAndHandleCertificateExpiryError(const ZELCore::InvokeHttpResponse& response) {
    if (!IsCertificateExpiryError(response)) return false;
    std::wostringstream reason;
    reason << L"Certificate error: HTTP=" << response.response.statusCode << L", ResultCode=" << response.resultCode;
    if (!response.response.message.empty())
        reason << L", Message=" << ZEL::String::UTF8ToUTF16(response.response.message);
    PauseDataSyncDueToCertExpiry(reason.str());
    return true;
}

void DataSyncAgent::PauseDataSyncDueToCertExpiry(const std::wstring& reason) {
    const wchar_t* const function = L"DataSyncAgent::PauseDataSyncDueToCertExpiry";
    std::wstring copy = reason;  // copied before any state changes, so a failed copy changes nothing
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        // Already paused: the reason, the pause start and the heartbeat schedule stay as they are.
        if (m_dataSyncPausedDueToCertExpiry.load()) return;
        m_dataSyncPausedDueToCertExpiry.exchange(true);
        m_certExpiryPauseReason.swap(copy);
        const auto now = SteadyNow();
        m_certExpiryPauseTime = now;
        m_lastHeartbeatCallTime = now;
        m_heartbeatCallCount = 0;
    }
    m_log.e(L"%s: DataSync PAUSED due to certificate expiry: %s", function, reason);
    m_log.i(L"%s: Heartbeat calls use exponential backoff: 10s, 20s, 40s, 60s, 120s, 240s, 300s...", function);
}

bool DataSyncAgent::IsDataSyncPausedDueToCertExpiry() {
    if (!m_dataSyncPausedDueToCertExpiry.load()) return false;
    int callNumber = 0;
    int next = 0;
    long long pausedFor = 0;
    long long waited = 0;
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        // A registration may have lifted the pause between the read above and the lock.
        if (!m_dataSyncPausedDueToCertExpiry.load()) return false;
        const auto now = SteadyNow();
        waited = WholeSeconds(now - m_lastHeartbeatCallTime);
        if (waited < HeartbeatWaitSeconds(m_heartbeatCallCount)) return true;

        // A heartbeat call is due: this caller goes ahead with its upload.
        m_lastHeartbeatCallTime = now;
        if (m_heartbeatCallCount < INT_MAX) ++m_heartbeatCallCount;
        callNumber = m_heartbeatCallCount;
        pausedFor = WholeSeconds(now - m_certExpiryPauseTime);
        next = HeartbeatWaitSeconds(callNumber);
    }
    m_log.w(L"%s: Allowing heartbeat call #%d while paused (paused for %lld sec, waited %lld sec, next in %d sec)",
            L"DataSyncAgent::IsDataSyncPausedDueToCertExpiry", callNumber, pausedFor, waited, next);
    return false;
}

void DataSyncAgent::ResumeDataSyncAfterCertRenewal() {
    long long seconds = 0;
    int calls = 0;
    {
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        if (!m_dataSyncPausedDueToCertExpiry.load()) return;
        seconds = WholeSeconds(SteadyNow() - m_certExpiryPauseTime);
        calls = m_heartbeatCallCount;
        m_dataSyncPausedDueToCertExpiry.exchange(false);
        m_certExpiryPauseReason.clear();
        m_heartbeatCallCount = 0;
    }
    m_log.i(L"%s: DataSync RESUMED after %lld seconds pause (made %d heartbeat calls)",
            L"DataSyncAgent::ResumeDataSyncAfterCertRenewal", seconds, calls);
}
