// The uploaders' access to the telemetry policy: read afresh on each call.
#include "datasync/config/ConfigPolicyHelper.h"

namespace ZEL {
namespace DataSync {

std::unique_ptr<TelemetryPolicy> ConfigPolicyHelper::GetTelemetryPolicy() {
    auto policy = std::make_unique<TelemetryPolicy>();
    std::shared_ptr<IConfigAgent> agent = zel::AgentFactory::GetInstance()->GetConfigPolicyAgent();
    if (!agent) return nullptr;
    agent->ReadTelemetryPolicy(*policy);
    return policy;
}

void ConfigPolicyHelper::GetIncludeEventsForDataset(const std::wstring& datasetId,
                                                    std::list<std::wstring>& includeEvents) {
    FindIncludeEventsForDataset(datasetId, includeEvents);
}

bool ConfigPolicyHelper::FindIncludeEventsForDataset(const std::wstring& datasetId,
                                                     std::list<std::wstring>& includeEvents) {
    std::shared_ptr<IConfigAgent> agent = zel::AgentFactory::GetInstance()->GetConfigPolicyAgent();
    return agent && agent->ReadIncludeEvents(datasetId, includeEvents);
}

}  // namespace DataSync
}  // namespace ZEL
