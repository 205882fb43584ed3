// Per-endpoint exponential back-off for the KTA and NAVS families.
//
// A failed upload of one of three failure classes (HTTP 429, an unresolved host name, a server
// error 500..599) makes the family wait a growing delay before its next upload; once a class has
// used up its attempts the family is blocked until a reset: the "resetBackOffState" command
// (KTA, after server errors), the end of a DNS error (both families) or a full initialisation
// that recreates the records. NAVP has no back-off.
//
// Clocks: the wait is measured on the monotonic tick count (Clock::TickCount64, which also counts
// suspended time), never on the wall clock: a wall clock corrected backwards would stretch the
// wait by the size of the jump, one moved forward would end it early. The wall-clock time of the
// failure is kept in the record for the log lines and the status only.
//
// Locking: m_retryMutex guards every read-modify-write of m_retryInfo and is never held while a
// reset task waits, nor while the registry or the critical-event log is written. The pre-checks
// look at the 403 state (which takes its own mutex) before they take m_retryMutex.
#include <algorithm>
#include <atomic>
#include <climits>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/StringUtil.h"

namespace {

const wchar_t* const kCheckForBackoff = L"DataSyncAgent::CheckForExponentialBackoffRetry";
const wchar_t* const kResetBackoff = L"DataSyncAgent::HandleResetBackoffState";
const wchar_t* const kResetOnDns = L"DataSyncAgent::HandleResetBackoffStateOnDnsRecovery";

// The failure classes: index into RetryInfo::_retry_counts, first delay and cap in seconds (for
// ApiUtility::GetSleepDurationInMillis), and the number of waits before the family is blocked.
struct FailureClass {
    int attempts;
    int startSeconds;
    int capSeconds;
};
constexpr int kTooManyRequestsClass = 0;  // HTTP 429
constexpr int kNameNotResolvedClass = 1;  // transport code 12007
constexpr int kServerErrorClass = 2;      // HTTP 500..599; the only class with random jitter
constexpr FailureClass kFailureClasses[] = {{5, 1800, 7200}, {3, 60, 1800}, {10, 60, 30720}};

constexpr int kCriticalEventRetriesExceeded = 1017;
constexpr int kCriticalEventValue = 4095;

// The reset of a DNS recovery waits a random delay of up to two minutes.
constexpr unsigned kDnsRecoveryJitterSpanMs = 120000;

// The class index of a result, or -1 when the result is not a back-off failure.
int FailureClassOf(int result) {
    if (result == 429) return kTooManyRequestsClass;
    if (result == ZELCore::TransportResult::NAME_NOT_RESOLVED) return kNameNotResolvedClass;
    if (result >= 500 && result <= 599) return kServerErrorClass;
    return -1;
}

// The pre-checks' log latches, per family and process-wide: they only decide whether a refusal
// or a changed retry count is logged, so relaxed atomics are enough.
struct PreCheckLatch {
    std::atomic<bool> refusalMayBeLogged{true};
    std::atomic<std::int32_t> lastLoggedCount{0};
};
PreCheckLatch g_ktaLatch;
PreCheckLatch g_navsLatch;

// Milliseconds on the monotonic clock from `since` to now (0 if the clock reads earlier).
std::int64_t ElapsedMillis(std::uint64_t since) {
    const std::uint64_t now = ZEL::Clock::GetInstance()->TickCount64();
    return now > since ? static_cast<std::int64_t>(now - since) : 0;
}

// A delay in milliseconds as a wait time-out: INFINITE must never be passed by accident.
platform::DWORD WaitTimeout(std::uint64_t milliseconds) {
    return static_cast<platform::DWORD>(std::min<std::uint64_t>(milliseconds, platform::INFINITE - 1));
}

}  // namespace

bool DataSyncAgent::ShouldPostForKta() {
    return ShouldPostForEndpoint(SyncEP::SyncEP_KTA);
}

bool DataSyncAgent::ShouldPostForNavs() {
    return ShouldPostForEndpoint(SyncEP::SyncEP_NAVS);
}

bool DataSyncAgent::ShouldPostForEndpoint(SyncEP::SyncEp_type type) {
    const bool kta = type == SyncEP::SyncEP_KTA;
    const wchar_t* const function =
        kta ? L"DataSyncAgent::ShouldPostForKta" : L"DataSyncAgent::ShouldPostForNavs";
    PreCheckLatch& latch = kta ? g_ktaLatch : g_navsLatch;

    CheckTimeLimitAndResetThe403DeviceError();
    if (!(kta ? m_ktaUrlValid : m_navsUrlValid)) return false;
    if (IsDeviceIn403DeviceMissingErrorState()) return false;
    if (kta && IsZelFacingCirticalGatewayError()) return false;

    RetryInfo info;
    {
        std::lock_guard<std::mutex> lock(m_retryMutex);
        auto found = m_retryInfo.find(type);
        if (found == m_retryInfo.end()) {
            m_log.e(kta ? L"%s: SyncEp::KTA is not found" : L"%s: SyncEp::NAVS is not found", function);
            latch.refusalMayBeLogged.store(true, std::memory_order_relaxed);
            return true;
        }
        info = found->second;
    }
    // Decided on the copy: the lock is held for the lookup only, the log lines are written after.
    const std::int64_t elapsedMs = ElapsedMillis(info._last_sync_call_tick);
    if (info._backoff_delay > 0 && info._backoff_delay > elapsedMs) {
        m_log.d(L"%s: _backoff_delay=%d, currentTime=%d _last_sync_call_time=%d", function,
                info._backoff_delay, ZEL::DateTimeUtility::GetCurrentDatetime(), info._last_sync_call_time);
        m_log.d(L"%s: Retry Limit is not yet exceeded, timeDiff = %lf", function,
                static_cast<double>(elapsedMs) / 1000.0);
        return false;
    }
    if (info._sync_allowed) {
        if (latch.lastLoggedCount.exchange(info._backoff_retry_count, std::memory_order_relaxed) !=
            info._backoff_retry_count)
            m_log.d(L"%s: returns true. _backoff_retry_count = %d", function, info._backoff_retry_count);
        latch.refusalMayBeLogged.store(true, std::memory_order_relaxed);
        return true;
    }
    if (latch.refusalMayBeLogged.exchange(false, std::memory_order_relaxed))
        m_log.e(L"%s: Syncing is not allowed", function);
    return false;
}

bool DataSyncAgent::IsZelFacingCirticalGatewayError() {
    // The shared reference keeps the manager alive for the call even if the host replaces it.
    const std::shared_ptr<ZEL::ZelStatusManager> manager =
        zel::ZELHelperFactory::GetInstance()->GetZelStatusManager();
    return manager != nullptr && manager->HasCriticalError();
}

bool DataSyncAgent::CheckForExponentialBackoffRetry(int result, SyncEP::SyncEp_type type) {
    // NAVP has no back-off; only the KTA and NAVS records ever exist.
    if (type != SyncEP::SyncEP_KTA && type != SyncEP::SyncEP_NAVS) return false;
    int classIndex = FailureClassOf(result);
    if (classIndex < 0) {
        bool resetToZero = false;
        {
            std::lock_guard<std::mutex> lock(m_retryMutex);
            RetryInfo& stored = m_retryInfo[type];
            RetryInfo info = stored;
            if (result == 0) {
                // Rows were posted: every class starts again from its first delay.
                std::fill(info._retry_counts.begin(), info._retry_counts.end(), 0u);
                resetToZero = true;
            }
            // Any other result (nothing to send, a status outside the table) ends the current
            // wait but keeps the class counters.
            info._sync_allowed = true;
            info._backoff_delay = 0;
            info._backoff_retry_count = 0;
            stored = info;
        }
        if (resetToZero) m_log.e(L"%s: Resetting to zero", kCheckForBackoff);
        return false;
    }

    int attempts = 0, start = 0, cap = 0;
    bool exhausted = false;
    RetryInfo info;
    {
        std::lock_guard<std::mutex> lock(m_retryMutex);
        RetryInfo& stored = m_retryInfo[type];
        info = stored;
        UpdateRetryValues(result, attempts, start, cap, classIndex, info);
        const int count = static_cast<int>(info._retry_counts[classIndex]);
        if (count < attempts) {
            info._last_sync_call_time = ZEL::DateTimeUtility::GetCurrentDatetime();
            info._last_sync_call_tick = ZEL::Clock::GetInstance()->TickCount64();
            info._sync_allowed = true;
            info._backoff_delay = ZEL::ApiUtility::GetSleepDurationInMillis(count, start, cap);
            if (classIndex == kServerErrorClass) {
                // Server errors hit every device at once: spread the retries.
                const unsigned span =
                    static_cast<unsigned>(std::min<std::int64_t>(info._backoff_delay, UINT_MAX));
                info._backoff_delay +=
                    static_cast<std::int64_t>(ZEL::ApiUtility::GetRandomJitterInSeconds(span)) * 1000;
            }
            IncrementRetriesExpired(classIndex, info);
        } else {
            info._sync_allowed = false;
            info._backoff_delay = 0;
            exhausted = true;
        }
        stored = info;
    }

    if (!exhausted) {
        m_log.e(L"%s: Retry needed with _backoff_delay = %d, _last_sync_call_time = %d retrycount = %d",
                kCheckForBackoff, info._backoff_delay, info._last_sync_call_time, info._backoff_retry_count);
        return true;
    }
    // The registry and the critical-event file are written after the lock is released: the
    // pre-checks, which run every two seconds, never wait for file I/O.
    if (type == SyncEP::SyncEP_KTA) {
        std::wstring name = L"syncRetryError";
        ZEL::utility::WriteErrorToRegistry(name, 1);
    }
    m_log.e(L"%s: Retries have exceeded, Logging critical event", kCheckForBackoff);
    ZEL::CriticalEventLogger::Log(kCriticalEventRetriesExceeded, kCriticalEventValue);
    return true;
}

void DataSyncAgent::UpdateRetryValues(const int& result, int& attempts, int& start, int& cap, int& classIndex,
                                      RetryInfo& info) {
    const int found = FailureClassOf(result);
    if (found >= 0) {
        classIndex = found;
        attempts = kFailureClasses[found].attempts;
        start = kFailureClasses[found].startSeconds;
        cap = kFailureClasses[found].capSeconds;
    }
    if (classIndex >= 0 && static_cast<std::size_t>(classIndex) < info._retry_counts.size())
        info._backoff_retry_count = static_cast<std::int32_t>(info._retry_counts[classIndex]);
}

void DataSyncAgent::IncrementRetriesExpired(int classIndex, RetryInfo& info) {
    if (classIndex < 0 || static_cast<std::size_t>(classIndex) >= info._retry_counts.size()) return;
    info._backoff_retry_count = static_cast<std::int32_t>(++info._retry_counts[classIndex]);
}

void DataSyncAgent::ResetExponentialBackoff(int classIndex, RetryInfo& info) {
    info._sync_allowed = true;
    info._backoff_delay = 0;
    if (classIndex >= 0 && static_cast<std::size_t>(classIndex) < info._retry_counts.size())
        info._retry_counts[classIndex] = 0;
    info._backoff_retry_count = 0;
}

bool DataSyncAgent::WaitBeforeBackoffReset(std::uint64_t milliseconds) {
    // Ends early when the service stops or UnInit cancels the agent's tasks (a restart of the
    // agent without a service stop must not wait for the random delay).
    platform::HANDLE waits[2] = {m_hTasksCancel, m_hServiceStop};
    const platform::DWORD count = m_hServiceStop ? 2 : 1;
    const platform::DWORD result = platform::WaitForMultipleObjects(count, waits, false, WaitTimeout(milliseconds));
    if (result == platform::WAIT_TIMEOUT) return false;
    if (result != platform::WAIT_OBJECT_0 && result != platform::WAIT_OBJECT_0 + 1)
        m_log.e(L"%s: cannot wait on the service stop event (%d), back-off not reset",
                L"DataSyncAgent::WaitBeforeBackoffReset", platform::GetLastError());
    return true;
}

bool DataSyncAgent::HandleResetBackoffState() {
    bool isProcessed = false;
    try {
        m_log.d(L"%s: Entry", kResetBackoff);
        RetryInfo kta;
        GetRetryInfo(SyncEP::SyncEP_KTA, kta);  // a missing record reads as "no server errors"
        if (kta._retry_counts[kServerErrorClass] == 0) {
            m_log.d(L"%s: Exponentional backoff not in progress, so ignore the reset command", kResetBackoff);
        } else {
            const std::uint32_t minutes = m_backoffResetDelayMinutes;
            m_log.d(L"%s: Wait for random delay %d minutes befoew Reset Exponentional backoff", kResetBackoff,
                    minutes);
            const auto spanMs = static_cast<unsigned>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(minutes) * 60000u, UINT_MAX));
            const std::uint64_t jitterSeconds = ZEL::ApiUtility::GetRandomJitterInSeconds(spanMs);
            const std::uint64_t waitMs = jitterSeconds * 1000u;
            isProcessed = true;
            if (!WaitBeforeBackoffReset(waitMs)) {
                m_log.d(L"%s: Reset Exponentional backoff", kResetBackoff);
                std::lock_guard<std::mutex> lock(m_retryMutex);
                ResetExponentialBackoff(kServerErrorClass, m_retryInfo[SyncEP::SyncEP_KTA]);
            }
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kResetBackoff, ZEL::String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kResetBackoff);
    }
    m_log.d(L"%s: Exit isProcessed %d", kResetBackoff, isProcessed ? 1 : 0);
    return isProcessed;
}

bool DataSyncAgent::HandleResetBackoffStateOnDnsRecovery() {
    try {
        m_log.d(L"%s: Entry", kResetOnDns);
        const std::uint64_t jitterSeconds =
            ZEL::ApiUtility::GetRandomJitterInSeconds(kDnsRecoveryJitterSpanMs);
        const std::uint64_t waitMs = jitterSeconds * 1000u;
        m_log.d(L"%s: Wait for random delay %d seconds before reset exponentional backoff", kResetOnDns,
                waitMs / 1000);
        if (WaitBeforeBackoffReset(waitMs)) {
            m_log.d(L"%s: Exit ", kResetOnDns);
            return true;
        }
        m_log.d(L"%s: Reset Exponentional backoff", kResetOnDns);
        std::lock_guard<std::mutex> lock(m_retryMutex);
        for (SyncEP::SyncEp_type type : {SyncEP::SyncEP_KTA, SyncEP::SyncEP_NAVS})
            ResetExponentialBackoff(kNameNotResolvedClass, m_retryInfo[type]);
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kResetOnDns, ZEL::String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kResetOnDns);
    }
    m_log.d(L"%s: Exit ", kResetOnDns);
    return true;
}
