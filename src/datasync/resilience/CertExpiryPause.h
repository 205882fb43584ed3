// CertExpiryPause: the certificate-expiry pause. An upload answer with transport result code 34
// (the client certificate has expired) pauses every KTA and NAVS upload until the device
// registers again, or until a heartbeat call is accepted. While paused, the gate still lets one
// upload through now and then ("heartbeat calls") on a schedule that widens from 10 s to 300 s,
// so the server keeps hearing from the device without being flooded. Whichever upload asks
// first once the wait is over gets the call, whatever its family or dataset. A heartbeat call
// that presented the client certificate and that the server accepts (a completed exchange
// answered 2xx) proves the certificate renewed (the transport sends nothing with an expired one)
// and ends the pause; one without the certificate (NAVS when the auth mode is not "mtls") proves
// nothing. NAVP uploads and the
// device-context sync do not ask.
//
// The state lives in memory only; every load of the agent starts unpaused. Waits are measured
// on the injected clock's monotonic time, so wall-clock jumps neither stretch nor cut them.
//
// Thread safety: the gate and the pause run on whichever thread uploads, the resume on the bus
// thread. Every member is read and written under m_certExpiryStateMutex, except the lock-free
// read of the flag at the start of the gate; the flag is written only while the mutex is held.
// The mutex is held for no other lock, and lines are logged after it is released.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "datasync/common/Published.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {

class CertExpiryPause {
public:
    struct Status {
        bool paused = false;
        std::wstring reason;
        int heartbeatCalls = 0;
        std::chrono::steady_clock::time_point pauseTime;
        std::chrono::steady_clock::time_point lastHeartbeatCallTime;
    };

    CertExpiryPause(Clock& clock, Log& log) : m_clock(clock), m_log(log) {}
    CertExpiryPause(const CertExpiryPause&) = delete;
    CertExpiryPause& operator=(const CertExpiryPause&) = delete;

    // The upload gate: true while paused, except when a heartbeat call is due; it then records
    // the call and answers false.
    bool IsDataSyncPausedDueToCertExpiry();
    // The pause flag itself (a due heartbeat call does not clear it).
    bool IsPaused() const { return m_dataSyncPausedDueToCertExpiry.load(); }
    bool IsCertificateExpiryError(const ZELCore::InvokeHttpResponse& response);
    // Pauses on a code-34 answer (true). An accepted answer (result 0, HTTP 2xx) to a request that
    // presented the client certificate ends the pause while paused (false): the certificate was
    // renewed. An answer to a request without it proves nothing, and any other answer changes
    // nothing (false).
    bool CheckAndHandleCertificateExpiryError(const ZELCore::InvokeHttpResponse& response,
                                              bool presentedCertificate = true);
    // Enters the paused state; a no-op while paused (reason and schedule stay).
    void PauseDataSyncDueToCertExpiry(const std::wstring& reason);
    // Leaves the paused state; a no-op when not paused. `cause` ends the log line.
    void ResumeDataSyncAfterCertRenewal(const wchar_t* cause = L"");

    // Seconds to wait before the next heartbeat call after `heartbeatCallCount` calls.
    static int HeartbeatWaitSeconds(int heartbeatCallCount);

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }

private:
    // REQUIRES: m_certExpiryStateMutex held.
    void PublishLocked();

    Clock& m_clock;
    Log& m_log;
    mutable std::mutex m_certExpiryStateMutex;
    std::atomic<bool> m_dataSyncPausedDueToCertExpiry{false};
    std::wstring m_certExpiryPauseReason;                           // guarded by m_certExpiryStateMutex
    std::chrono::steady_clock::time_point m_certExpiryPauseTime;    // guarded by m_certExpiryStateMutex
    std::chrono::steady_clock::time_point m_lastHeartbeatCallTime;  // guarded by m_certExpiryStateMutex
    int m_heartbeatCallCount = 0;                                   // guarded by m_certExpiryStateMutex
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
