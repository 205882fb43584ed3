// The applicability and consent gates: whether a dataset's telemetry may leave the device at
// all, before any endpoint-specific logic runs.
//
// Applicability: each dataset policy carries a filter naming the devices it applies to, and
// the host's evaluator decides whether this device matches. The evaluation is costly and its
// answer rarely changes, so the timer pass re-evaluates a dataset found not applicable only
// every 100th call (a change notification for its database asks for a fresh evaluation).
// No policy or no evaluator means "not applicable": nothing is uploaded on a guess.
//
// Consent: a consumer device that no commercial organisation has claimed uploads only with the
// user's consent to anonymous metrics; datasets in anonymousMetricsNotRequired are exempt.
//
// Thread safety: the throttling fields belong to a sync-map record and are changed only while
// the caller holds m_syncMapMutex. The evaluator and the consent queries are called without a
// lock of this file; the evaluator is held by shared pointer for the length of a call.
#include <algorithm>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/StringUtil.h"

namespace {

const wchar_t* const kDeviceContextFileName = L"DeviceContext.sqlite3";
const wchar_t* const kDeviceContextDatasetId = L"03D21916-F27E-41EB-B8B3-77372521FBC7";
// A dataset found not applicable is evaluated again on this call after the last evaluation.
constexpr std::uint32_t kApplicabilityRecheckCalls = 100;
// In between, the cached answer is logged on every multiple of this.
constexpr std::uint32_t kCachedResultLogCalls = 50;

// The file name of a path: the text after its last separator (either slash); the whole text
// when there is none, empty when the path ends in a separator.
std::wstring FileNameOfPath(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring DatasetIdOfFile(const std::wstring& fileName) {
    ZEL::EventDataLogging* store = ZEL::EventDataLogging::GetInstance();
    return store != nullptr ? store->GetDatasetId(fileName) : std::wstring();
}

}  // namespace

bool DataSyncAgent::CheckApplicabilityFilterForDataset(const ZEL::DataSet& dataset) {
    const wchar_t* const function = L"DataSyncAgent::CheckApplicabilityFilterForDataset";
    if (dataset.dataset_id().empty()) return false;  // no policy found
    const std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator =
        zel::ZELHelperFactory::GetInstance()->GetApplicablilityEvaluatorAgent();
    const ZEL::ApplicabilityFilter& filter = dataset.applicability_filter();
    if (!evaluator) {
        m_log.d(L"%s: ApplicablilityEvaluator is null", function);
        return false;
    }
    std::list<ZEL::KeyValuePair> details;  // filled by the evaluator, not needed here
    if (evaluator->Evaluate(filter, nullptr, details, evaluator->SetDiscardedReason())) return true;
    m_log.w(L"%s: applicability filter failed for dataset_id=%s", function, dataset.dataset_id());
    return false;
}

bool DataSyncAgent::IsApplicableForSync(const std::wstring& dbPath) {
    const wchar_t* const function = L"DataSyncAgent::IsApplicableForSync";
    // The host calls this directly: no exception goes back to it, and a question that cannot be
    // answered is "not applicable".
    try {
        const std::wstring fileName = FileNameOfPath(dbPath);
        const std::wstring datasetId = fileName == kDeviceContextFileName ? std::wstring(kDeviceContextDatasetId)
                                                                          : DatasetIdOfFile(fileName);
        return CheckApplicabilityFilterForDataset(GetDatasetPolicy(datasetId, 1));
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", function, ZEL::String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
    }
    return false;
}

bool DataSyncAgent::IsApplicableForSyncWithThrottling(const std::wstring& key, _sync_data& record) {
    const wchar_t* const function = L"DataSyncAgent::IsApplicableForSyncWithThrottling";
    IDataSyncAgent& host = *this;
    // Records of the start-up and recovery scans are judged afresh every time.
    if (record.sync_kind == 1) return host.IsApplicableForSync(key);

    const std::uint32_t calls = ++record.iterations_since_applicability_check;
    if (record.last_applicable) {
        const bool applicable = host.IsApplicableForSync(key);
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

    const bool applicable = host.IsApplicableForSync(key);
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

bool DataSyncAgent::IsSyncAllowedByMetrics() {
    // The three questions in this order; the first that decides ends it.
    if (ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg()) return true;
    if (!ZEL::DeviceSubscriptionUtility::isConsumerDevice()) return true;
    return ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0);
}

bool DataSyncAgent::IsSyncAllowedByMetrics(const std::wstring& datasetId) {
    if (IsSyncAllowedByMetrics()) return true;
    // The exempt list is never written after start-up, so it is read without a lock.
    return std::find(anonymousMetricsNotRequired.begin(), anonymousMetricsNotRequired.end(), datasetId) !=
           anonymousMetricsNotRequired.end();
}

bool DataSyncAgent::IsSyncAllowedByMetricsForFile(const std::wstring& key) {
    // Unlike IsApplicableForSync, "DeviceContext.sqlite3" is not mapped to its dataset here.
    return IsSyncAllowedByMetrics(DatasetIdOfFile(FileNameOfPath(key)));
}
