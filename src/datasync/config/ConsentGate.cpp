// The consent gate: commercial claim, consumer device, consent, exempt datasets.
#include "datasync/config/ConsentGate.h"

#include <algorithm>

#include "datasync/common/Paths.h"
#include "datasync/host/DeviceStatus.h"

namespace ZEL {
namespace DataSync {

bool ConsentGate::IsSyncAllowedByMetrics() const {
    // The three questions in this order; the first that decides ends it.
    if (DeviceManagementStatus::IsDeviceClaimedInCommercialOrg()) return true;
    if (!DeviceSubscriptionUtility::isConsumerDevice()) return true;
    return ZeroDayUtil::IsAnonymousMetricsEnabled(0);
}

bool ConsentGate::IsSyncAllowedByMetrics(const std::wstring& datasetId) const {
    if (IsSyncAllowedByMetrics()) return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::find(anonymousMetricsNotRequired.begin(), anonymousMetricsNotRequired.end(), datasetId) !=
           anonymousMetricsNotRequired.end();
}

bool ConsentGate::IsSyncAllowedByMetricsForFile(const std::wstring& dbPath) const {
    return IsSyncAllowedByMetrics(DatasetIdOfFile(FileNameOfPath(dbPath)));
}

void ConsentGate::SetAnonymousMetricsNotRequired(std::list<std::wstring> datasetIds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    anonymousMetricsNotRequired.swap(datasetIds);
}

}  // namespace DataSync
}  // namespace ZEL
