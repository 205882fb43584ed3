// The agent's copy of the dataset policies and the lists derived from it.
#include "datasync/config/DatasetPolicies.h"

#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/config/Interval.h"
#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

bool DatasetPolicies::Replace(std::shared_ptr<const TelemetryPolicy> policy) {
    bool ktaNamed = false;
    std::list<std::wstring> nrt;
    std::map<std::wstring, std::uint32_t> scheduled;
    for (const DataSet& dataset : policy->datasets) {
        if (!dataset.dataset_enable()) continue;
        if (dataset.syncEPs().find(L"KTA") != std::wstring::npos) ktaNamed = true;
        const std::wstring frequency = String::ToLower(dataset.syncEP_frequency());
        if (frequency != L"nrt") {
            scheduled[dataset.dataset_id()] =
                static_cast<std::uint32_t>(utility::GetIntervalInMilliseconds(frequency) / 1000);
        } else if (dataset.dataset_id() == kDeviceContextDatasetId) {
            nrt.push_back(kDeviceContextFileName);
        } else {
            nrt.push_back(TelemetryFileName(dataset.dataset_id(), L"ItemEvent"));
            nrt.push_back(TelemetryFileName(dataset.dataset_id(), L"DatasetContext"));
        }
    }
    {
        auto names = std::make_shared<const std::list<std::wstring>>(std::move(nrt));
        std::lock_guard<std::mutex> lock(m_nrtMutex);
        m_nrtDbList = std::move(names);
    }
    auto catalog = std::make_shared<Catalog>();
    catalog->policy = std::move(policy);
    for (const DataSet& dataset : catalog->policy->datasets)
        catalog->byId.emplace(dataset.dataset_id(), &dataset);
    {
        std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
        m_catalog = std::move(catalog);
    }
    {
        // Entries of a previous policy stay unless this one replaces them (the agent empties
        // the list when it stops).
        std::lock_guard<std::mutex> lock(m_scheduledMutex);
        for (auto& entry : scheduled) m_scheduledDatasets[entry.first] = entry.second;
        ++m_scheduledRevision;
    }
    PublishStatus();
    return ktaNamed;
}

void DatasetPolicies::ReadContextChangeFlags(const TelemetryPolicy& policy) {
    for (const std::wstring& option : policy.syncOptions) {
        if (option == L"sync_globalcontext_onchange") m_syncGlobalContextOnChange = true;
        if (option == L"sync_datasetcontext_onchange") m_syncDatasetContextOnChange = true;
    }
}

void DatasetPolicies::ClearScheduled() {
    {
        std::lock_guard<std::mutex> lock(m_scheduledMutex);
        m_scheduledDatasets.clear();
        ++m_scheduledRevision;
    }
    PublishStatus();
}

DataSet DatasetPolicies::GetDatasetPolicy(const std::wstring& key, int byId) const {
    if (byId != 0) {
        const std::shared_ptr<const DataSet> found = FindById(key);
        return found ? *found : DataSet();
    }
    std::shared_ptr<const Catalog> catalog;
    {
        std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
        catalog = m_catalog;
    }
    for (const DataSet& dataset : catalog->policy->datasets)
        if (dataset.dataset_name() == key) return dataset;
    return DataSet();
}

std::shared_ptr<const DataSet> DatasetPolicies::FindById(const std::wstring& datasetId) const {
    std::shared_ptr<const Catalog> catalog;
    {
        std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
        catalog = m_catalog;
    }
    const auto found = catalog->byId.find(datasetId);
    if (found == catalog->byId.end()) return nullptr;
    return std::shared_ptr<const DataSet>(catalog, found->second);  // keeps the whole catalog alive
}

bool DatasetPolicies::IsNullOrNoneDataSet(const std::wstring& datasetId) {
    for (const wchar_t* id : kNullOrNoneDatasetIds)
        if (String::CaseInsesitiveEqual(id, datasetId)) return true;
    return false;
}

std::list<DataSet> DatasetPolicies::Datasets() const {
    std::shared_ptr<const Catalog> catalog;
    {
        std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
        catalog = m_catalog;
    }
    return catalog->policy->datasets;
}

DatasetPolicies::Names DatasetPolicies::NrtDatabases() const {
    std::lock_guard<std::mutex> lock(m_nrtMutex);
    return m_nrtDbList;
}

std::map<std::wstring, std::uint32_t> DatasetPolicies::ScheduledDatasets() const {
    std::lock_guard<std::mutex> lock(m_scheduledMutex);
    return m_scheduledDatasets;
}

void DatasetPolicies::PublishStatus() {
    Status status;
    status.nrtDatabases = NrtDatabases();
    status.scheduledDatasets = ScheduledDatasets();
    m_status.Publish(std::move(status));
}

}  // namespace DataSync
}  // namespace ZEL
