// Access to the telemetry policy for the uploaders: the policy itself, read afresh, and the
// include list of one dataset.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace DataSync {

class ConfigPolicyHelper {
public:
    virtual ~ConfigPolicyHelper() = default;
    // A freshly read policy, or null when the host has no configuration agent. The service's
    // own result is not examined: a failed read gives an empty policy.
    virtual std::unique_ptr<TelemetryPolicy> GetTelemetryPolicy();
    // Replaces `includeEvents` by the include list of the first dataset whose id equals
    // `datasetId` exactly; leaves it as it was when there is no policy or no such dataset.
    void GetIncludeEventsForDataset(const std::wstring& datasetId, std::list<std::wstring>& includeEvents);
    // As GetIncludeEventsForDataset; false (list untouched) when the policy cannot be read or
    // names no such dataset.
    bool FindIncludeEventsForDataset(const std::wstring& datasetId, std::list<std::wstring>& includeEvents);
};

}  // namespace DataSync
}  // namespace ZEL
