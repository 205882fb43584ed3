// The applicability gate: the host's evaluator on a dataset's filter, and the mapping of a
// database file to its dataset.
#include "datasync/config/Applicability.h"

#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/DeviceStatus.h"

namespace ZEL {
namespace DataSync {

bool ApplicabilityGate::CheckApplicabilityFilterForDataset(const DataSet& dataset) {
    const wchar_t* const function = L"DataSyncAgent::CheckApplicabilityFilterForDataset";
    if (dataset.dataset_id().empty()) return false;  // no policy found
    const std::shared_ptr<ApplicabilityEvaluator> evaluator =
        zel::ZELHelperFactory::GetInstance()->GetApplicablilityEvaluatorAgent();
    const ApplicabilityFilter& filter = dataset.applicability_filter();
    if (!evaluator) {
        m_log.d(L"%s: ApplicablilityEvaluator is null", function);
        return false;
    }
    std::list<KeyValuePair> details;  // filled by the evaluator, not needed here
    if (evaluator->Evaluate(filter, nullptr, details, evaluator->SetDiscardedReason())) return true;
    m_log.w(L"%s: applicability filter failed for dataset_id=%s", function, dataset.dataset_id());
    return false;
}

bool ApplicabilityGate::IsApplicableForSync(const std::wstring& dbPath) {
    const wchar_t* const function = L"DataSyncAgent::IsApplicableForSync";
    // The host calls this directly: no exception goes back to it, and a question that cannot be
    // answered is "not applicable".
    try {
        const std::wstring fileName = FileNameOfPath(dbPath);
        const std::wstring datasetId =
            fileName == kDeviceContextFileName ? std::wstring(kDeviceContextDatasetId) : DatasetIdOfFile(fileName);
        const std::shared_ptr<const DataSet> dataset = m_policies.FindById(datasetId);
        return dataset != nullptr && CheckApplicabilityFilterForDataset(*dataset);
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", function, String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
    }
    return false;
}

}  // namespace DataSync
}  // namespace ZEL
