// The applicability and consent gates. Not built yet: the host's question is answered "not
// applicable", so nothing is uploaded on a guess; inside the agent the gates let every upload
// through and say so once in the log.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::IsApplicableForSync(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::IsApplicableForSync");
    return false;
}

bool DataSyncAgent::IsSyncAllowedByMetrics(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::IsSyncAllowedByMetrics");
    return true;
}

bool DataSyncAgent::IsSyncAllowedByMetrics() { return IsSyncAllowedByMetrics(L""); }

bool DataSyncAgent::IsSyncAllowedByMetricsForFile(const std::wstring&) { return IsSyncAllowedByMetrics(L""); }

bool DataSyncAgent::CheckApplicabilityFilterForDataset(const ZEL::DataSet&) {
    NotAvailableYet(L"DataSyncAgent::CheckApplicabilityFilterForDataset");
    return true;
}

bool DataSyncAgent::IsApplicableForSyncWithThrottling(const std::wstring&, _sync_data&) {
    NotAvailableYet(L"DataSyncAgent::IsApplicableForSyncWithThrottling");
    return true;
}
