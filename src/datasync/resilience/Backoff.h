// ExponentialBackoff: per-family back-off of the KTA and NAVS uploads, and the pre-checks that
// decide whether a family may be posted to now.
//
// A failed upload of one of three failure classes (HTTP 429, an unresolved host name 12007, a
// server error 500..599) makes the family wait a growing delay before its next upload; once a
// class has used up its attempts the family is blocked until a reset: the "resetBackOffState"
// command (KTA, after server errors), the end of a DNS error (both families) or a full
// initialisation that recreates the records. NAVP has no back-off.
//
//   class  result     first  cap (s)  attempts  jitter
//   0      429        1800   7200     5         no
//   1      12007      60     1800     3         no
//   2      500..599   60     30720    10        yes
//
// The pre-checks (ShouldPostForKta/Navs) also refuse while the family's URL is invalid, while the
// device-missing block holds, and (KTA) while the host reports a critical gateway error.
//
// Clocks and randomness are injected: waits are measured on the monotonic tick count, never the
// wall clock (whose time of the failure is kept for logs and status); the jitter source returns
// whole seconds for a span in milliseconds.
//
// Thread safety: any thread. m_retryMutex guards every read-modify-write of m_retryInfo; it is
// never held while a reset task waits, a line is logged, or the registry or critical-event log
// is written. The pre-checks consult the device-missing state before, not under, m_retryMutex.
// The reset tasks wait through the agent's StopSignal, so a stop or UnInit ends them at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "datasync/common/Published.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/config/SyncEP.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/resilience/DeviceMissing.h"

namespace ZEL {
namespace DataSync {

// The back-off state of one endpoint family.
struct RetryInfo {
    std::int64_t _backoff_delay = 0;        // ms to wait after the failure; 0 = no wait
    std::int64_t _last_sync_call_time = 0;  // wall clock of the failure (seconds), for logs and status
    // Clock::TickCount64() of the same failure: the wait is measured on it.
    std::uint64_t _last_sync_call_tick = 0;
    std::int32_t _backoff_retry_count = 0;  // the class counter of the last failure; 0 after a reset
    bool _sync_allowed = true;              // false once a class used up its attempts
    std::vector<std::uint32_t> _retry_counts = std::vector<std::uint32_t>(3, 0);  // per class
};

class ExponentialBackoff {
public:
    // Whole seconds of random jitter for a span in milliseconds.
    using Jitter = std::function<unsigned(unsigned spanMs)>;
    using Status = std::map<SyncEP::SyncEp_type, RetryInfo>;

    ExponentialBackoff(Clock& clock, Jitter jitter, DeviceMissingState& deviceMissing,
                       const EndpointConfig& endpoints, const StopSignal& stop, Log& log);
    ExponentialBackoff(const ExponentialBackoff&) = delete;
    ExponentialBackoff& operator=(const ExponentialBackoff&) = delete;

    // Full initialisation: puts fresh KTA and NAVS records in place (open, no wait, all class
    // counters 0), so that a family waiting or blocked before starts open again.
    void InitRetryInfo();

    bool ShouldPostForKta();
    bool ShouldPostForNavs();
    // Records one upload result. True when the upload failed in a back-off class (a wait starts,
    // or the attempts are used up and the family is blocked); false otherwise.
    bool CheckForExponentialBackoffRetry(int result, SyncEP::SyncEp_type type);
    // The same for an upload's outcome (UploadOutcome::BackoffResult).
    bool CheckForExponentialBackoffRetry(const UploadOutcome& outcome, SyncEP::SyncEp_type type) {
        return CheckForExponentialBackoffRetry(outcome.BackoffResult(), type);
    }
    bool IsZelFacingCirticalGatewayError();

    // The "resetBackOffState" command: after a random delay of up to ResetDelayMinutes, clears
    // KTA's server-error class. False (nothing done) when no server error is counted.
    bool HandleResetBackoffState();
    // The end of a DNS error: after up to two minutes, clears the name class of both families.
    bool HandleResetBackoffStateOnDnsRecovery();
    void SetResetDelayMinutes(std::uint32_t minutes) { m_backoffResetDelayMinutes = minutes; }
    std::uint32_t ResetDelayMinutes() const { return m_backoffResetDelayMinutes; }

    bool GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out);
    void SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info);
    // The record operations work on a copy the caller reads and stores under m_retryMutex.
    void UpdateRetryValues(const int& result, int& attempts, int& start, int& cap, int& classIndex,
                           RetryInfo& info);
    void IncrementRetriesExpired(int classIndex, RetryInfo& info);
    void ResetExponentialBackoff(int classIndex, RetryInfo& info);

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }
    // What is left of a record's wait at `tick` (0 when none).
    static std::int64_t WaitLeftMillis(const RetryInfo& info, std::uint64_t tick);

private:
    // The pre-checks' log latches: they only decide whether a refusal or a changed retry count
    // is logged.
    struct PreCheckLatch {
        std::atomic<bool> refusalMayBeLogged{true};
        std::atomic<std::int32_t> lastLoggedCount{0};
    };

    bool ShouldPostForEndpoint(SyncEP::SyncEp_type type);
    // Waits for the random delay of a reset task; true when a stop ends it first.
    bool WaitBeforeBackoffReset(std::uint64_t milliseconds);
    // REQUIRES: m_retryMutex held.
    void PublishLocked();

    Clock& m_clock;
    const Jitter m_jitter;
    DeviceMissingState& m_deviceMissing;
    const EndpointConfig& m_endpoints;
    const StopSignal& m_stop;
    Log& m_log;

    std::mutex m_retryMutex;
    std::map<SyncEP::SyncEp_type, RetryInfo> m_retryInfo;  // guarded by m_retryMutex
    std::atomic<std::uint32_t> m_backoffResetDelayMinutes{15};
    PreCheckLatch m_ktaLatch;
    PreCheckLatch m_navsLatch;
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
