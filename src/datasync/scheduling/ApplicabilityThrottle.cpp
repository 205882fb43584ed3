// The timer pass's throttled applicability check. The evaluation is costly and its answer rarely
// changes, so a dataset found not applicable is evaluated again only on the 100th call after;
// a change notification for its database (last_applicable set back to true) asks for a fresh
// evaluation at the next call.
#include <cstdint>

#include "datasync/scheduling/TimerSync.h"

namespace ZEL {
namespace DataSync {
namespace {

// A dataset found not applicable is evaluated again on this call after the last evaluation.
constexpr std::uint32_t kApplicabilityRecheckCalls = 100;
// In between, the cached answer is logged on every multiple of this.
constexpr std::uint32_t kCachedResultLogCalls = 50;

}  // namespace

bool TimerSync::IsApplicableForSyncWithThrottling(const std::wstring& key, _sync_data& record) {
    const wchar_t* const function = L"DataSyncAgent::IsApplicableForSyncWithThrottling";
    ApplicabilityGate& gate = m_parts.applicability;
    // Records of the start-up and recovery scans are judged afresh every time.
    if (record.sync_kind == 1) return gate.IsApplicableForSync(key);

    const std::uint32_t calls = ++record.iterations_since_applicability_check;
    if (record.last_applicable) {
        const bool applicable = gate.IsApplicableForSync(key);
        record.last_applicable = applicable;
        record.iterations_since_applicability_check = 0;
        if (applicable) {
            record.applicability_failure_count = 0;
            return true;
        }
        record.applicability_failure_count = 1;
        m_log.d(L"%s: Dataset %s transitioned from applicable to not applicable", function, key);
        return false;
    }

    if (calls < kApplicabilityRecheckCalls) {
        if (calls % kCachedResultLogCalls == 0)
            m_log.d(L"%s: Dataset %s using cached applicability result (false), iterations since last check: %d",
                    function, key, calls);
        return false;
    }

    const bool applicable = gate.IsApplicableForSync(key);
    record.last_applicable = applicable;
    record.iterations_since_applicability_check = 0;
    if (applicable) {
        m_log.d(L"%s: Dataset %s transitioned from not applicable to applicable after %d failures", function, key,
                record.applicability_failure_count);
        record.applicability_failure_count = 0;
        return true;
    }
    if (record.applicability_failure_count < UINT32_MAX) ++record.applicability_failure_count;
    m_log.d(L"%s: Dataset %s still not applicable, failure count: %d", function, key,
            record.applicability_failure_count);
    return false;
}

}  // namespace DataSync
}  // namespace ZEL
