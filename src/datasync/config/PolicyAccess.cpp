// Looking up one dataset's policy in the agent's copy, and the uploaders' policy helper.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/config/ConfigPolicyHelper.h"
#include "datasync/host/StringUtil.h"

ZEL::DataSet DataSyncAgent::GetDatasetPolicy(const std::wstring& key, int byId) {
    std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
    for (const ZEL::DataSet& dataset : m_datasetPolicies) {
        if ((byId != 0 ? dataset.dataset_id() : dataset.dataset_name()) == key) return dataset;
    }
    return ZEL::DataSet();
}

bool DataSyncAgent::IsNullOrNoneDataSet(std::wstring& datasetId) {
    for (const std::wstring& id : m_nullOrNoneDatasets)
        if (ZEL::String::CaseInsesitiveEqual(id, datasetId)) return true;
    return false;
}

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
    std::unique_ptr<TelemetryPolicy> policy = GetTelemetryPolicy();
    if (!policy) return;
    for (const DataSet& dataset : policy->datasets) {
        if (dataset.dataset_id() == datasetId) {
            includeEvents = dataset.include_events();
            return;
        }
    }
}

}  // namespace DataSync
}  // namespace ZEL
