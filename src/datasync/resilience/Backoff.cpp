// Per-endpoint exponential back-off: the failure classes, the pre-checks and the two resets.
#include "datasync/resilience/Backoff.h"

#include <algorithm>
#include <climits>

#include "datasync/common/StringUtil.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Registry.h"
#include "datasync/resilience/BackoffDelay.h"

namespace ZEL {
namespace DataSync {
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

unsigned SpanOf(std::uint64_t milliseconds) {
    return static_cast<unsigned>(std::min<std::uint64_t>(milliseconds, UINT_MAX));
}

}  // namespace

ExponentialBackoff::ExponentialBackoff(Clock& clock, Jitter jitter, DeviceMissingState& deviceMissing,
                                       const EndpointConfig& endpoints, const StopSignal& stop, Log& log)
    : m_clock(clock),
      m_jitter(std::move(jitter)),
      m_deviceMissing(deviceMissing),
      m_endpoints(endpoints),
      m_stop(stop),
      m_log(log) {}

void ExponentialBackoff::PublishLocked() { m_status.Publish(m_retryInfo); }

void ExponentialBackoff::InitRetryInfo() {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    for (SyncEP::SyncEp_type type : {SyncEP::SyncEP_KTA, SyncEP::SyncEP_NAVS}) m_retryInfo[type] = RetryInfo{};
    PublishLocked();
}

bool ExponentialBackoff::GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out) {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    auto found = m_retryInfo.find(type);
    if (found == m_retryInfo.end()) return false;
    out = found->second;
    return true;
}

void ExponentialBackoff::SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info) {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    m_retryInfo[type] = info;
    PublishLocked();
}

bool ExponentialBackoff::ShouldPostForKta() { return ShouldPostForEndpoint(SyncEP::SyncEP_KTA); }

bool ExponentialBackoff::ShouldPostForNavs() { return ShouldPostForEndpoint(SyncEP::SyncEP_NAVS); }

bool ExponentialBackoff::ShouldPostForEndpoint(SyncEP::SyncEp_type type) {
    const bool kta = type == SyncEP::SyncEP_KTA;
    const wchar_t* const function = kta ? L"DataSyncAgent::ShouldPostForKta" : L"DataSyncAgent::ShouldPostForNavs";
    PreCheckLatch& latch = kta ? m_ktaLatch : m_navsLatch;

    m_deviceMissing.CheckTimeLimitAndResetThe403DeviceError();
    if (!m_endpoints.IsUrlValid(type)) return false;
    if (m_deviceMissing.IsDeviceIn403DeviceMissingErrorState()) return false;
    if (kta && IsZelFacingCirticalGatewayError()) return false;

    RetryInfo info;
    if (!GetRetryInfo(type, info)) {
        m_log.e(kta ? L"%s: SyncEp::KTA is not found" : L"%s: SyncEp::NAVS is not found", function);
        latch.refusalMayBeLogged.store(true, std::memory_order_relaxed);
        return true;
    }
    // Decided on the copy: the lock is held for the lookup only, the log lines are written after.
    const std::int64_t left = WaitLeftMillis(info, m_clock.TickCount64());
    if (left > 0) {
        m_log.d(L"%s: _backoff_delay=%d, currentTime=%d _last_sync_call_time=%d", function, info._backoff_delay,
                std::chrono::system_clock::to_time_t(m_clock.WallNow()), info._last_sync_call_time);
        m_log.d(L"%s: Retry Limit is not yet exceeded, timeDiff = %lf", function,
                static_cast<double>(info._backoff_delay - left) / 1000.0);
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

std::int64_t ExponentialBackoff::WaitLeftMillis(const RetryInfo& info, std::uint64_t tick) {
    if (info._backoff_delay <= 0) return 0;
    const std::int64_t elapsed =
        tick > info._last_sync_call_tick ? static_cast<std::int64_t>(tick - info._last_sync_call_tick) : 0;
    return info._backoff_delay > elapsed ? info._backoff_delay - elapsed : 0;
}

bool ExponentialBackoff::IsZelFacingCirticalGatewayError() {
    // The shared reference keeps the manager alive for the call even if the host replaces it.
    const std::shared_ptr<ZelStatusManager> manager = zel::ZELHelperFactory::GetInstance()->GetZelStatusManager();
    return manager != nullptr && manager->HasCriticalError();
}

bool ExponentialBackoff::CheckForExponentialBackoffRetry(int result, SyncEP::SyncEp_type type) {
    // NAVP has no back-off; only the KTA and NAVS records ever exist.
    if (type != SyncEP::SyncEP_KTA && type != SyncEP::SyncEP_NAVS) return false;
    int classIndex = FailureClassOf(result);
    if (classIndex < 0) {
        {
            std::lock_guard<std::mutex> lock(m_retryMutex);
            RetryInfo& info = m_retryInfo[type];
            // Rows were posted: every class starts again from its first delay. Any other result
            // (nothing to send, a status outside the table) ends the current wait but keeps the
            // class counters.
            if (result == 0) std::fill(info._retry_counts.begin(), info._retry_counts.end(), 0u);
            info._sync_allowed = true;
            info._backoff_delay = 0;
            info._backoff_retry_count = 0;
            PublishLocked();
        }
        if (result == 0) m_log.d(L"%s: Resetting to zero", kCheckForBackoff);
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
            info._last_sync_call_time = std::chrono::system_clock::to_time_t(m_clock.WallNow());
            info._last_sync_call_tick = m_clock.TickCount64();
            info._sync_allowed = true;
            info._backoff_delay = ApiUtility::GetSleepDurationInMillis(count, start, cap);
            // Server errors hit every device at once: spread the retries.
            if (classIndex == kServerErrorClass)
                info._backoff_delay += static_cast<std::int64_t>(m_jitter(SpanOf(info._backoff_delay))) * 1000;
            IncrementRetriesExpired(classIndex, info);
        } else {
            info._sync_allowed = false;
            info._backoff_delay = 0;
            exhausted = true;
        }
        stored = info;
        PublishLocked();
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
        utility::WriteErrorToRegistry(name, 1);
    }
    m_log.e(L"%s: Retries have exceeded, Logging critical event", kCheckForBackoff);
    CriticalEventLogger::Log(kCriticalEventRetriesExceeded, kCriticalEventValue);
    return true;
}

void ExponentialBackoff::UpdateRetryValues(const int& result, int& attempts, int& start, int& cap, int& classIndex,
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

void ExponentialBackoff::IncrementRetriesExpired(int classIndex, RetryInfo& info) {
    if (classIndex < 0 || static_cast<std::size_t>(classIndex) >= info._retry_counts.size()) return;
    info._backoff_retry_count = static_cast<std::int32_t>(++info._retry_counts[classIndex]);
}

void ExponentialBackoff::ResetExponentialBackoff(int classIndex, RetryInfo& info) {
    info._sync_allowed = true;
    info._backoff_delay = 0;
    if (classIndex >= 0 && static_cast<std::size_t>(classIndex) < info._retry_counts.size())
        info._retry_counts[classIndex] = 0;
    info._backoff_retry_count = 0;
}

bool ExponentialBackoff::WaitBeforeBackoffReset(std::uint64_t milliseconds) { return m_stop.WaitFor(milliseconds); }

bool ExponentialBackoff::HandleResetBackoffState() {
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
            const std::uint64_t waitMs =
                static_cast<std::uint64_t>(m_jitter(SpanOf(static_cast<std::uint64_t>(minutes) * 60000u))) * 1000u;
            isProcessed = true;
            if (!WaitBeforeBackoffReset(waitMs)) {
                m_log.d(L"%s: Reset Exponentional backoff", kResetBackoff);
                std::lock_guard<std::mutex> lock(m_retryMutex);
                ResetExponentialBackoff(kServerErrorClass, m_retryInfo[SyncEP::SyncEP_KTA]);
                PublishLocked();
            }
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kResetBackoff, String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kResetBackoff);
    }
    m_log.d(L"%s: Exit isProcessed %d", kResetBackoff, isProcessed ? 1 : 0);
    return isProcessed;
}

bool ExponentialBackoff::HandleResetBackoffStateOnDnsRecovery() {
    try {
        m_log.d(L"%s: Entry", kResetOnDns);
        const std::uint64_t waitMs = static_cast<std::uint64_t>(m_jitter(kDnsRecoveryJitterSpanMs)) * 1000u;
        m_log.d(L"%s: Wait for random delay %d seconds before reset exponentional backoff", kResetOnDns,
                waitMs / 1000);
        if (WaitBeforeBackoffReset(waitMs)) {
            m_log.d(L"%s: Exit ", kResetOnDns);
            return true;
        }
        m_log.d(L"%s: Reset Exponentional backoff", kResetOnDns);
        {
            std::lock_guard<std::mutex> lock(m_retryMutex);
            for (SyncEP::SyncEp_type type : {SyncEP::SyncEP_KTA, SyncEP::SyncEP_NAVS})
                ResetExponentialBackoff(kNameNotResolvedClass, m_retryInfo[type]);
            PublishLocked();
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kResetOnDns, String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kResetOnDns);
    }
    m_log.d(L"%s: Exit ", kResetOnDns);
    return true;
}

}  // namespace DataSync
}  // namespace ZEL
