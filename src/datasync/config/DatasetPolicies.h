// DatasetPolicies: the telemetry policy's datasets as the agent took them at its last full
// initialisation (the host's policy in force, shared, never changed), and what the agent derives
// from them: the near-real-time database names (the file watchers' list), the scheduled datasets
// with their intervals, and whether any enabled dataset names KTA.
//
// Between two full initialisations the agent works from this policy; the uploaders read the
// policy afresh where they need to.
//
// Thread safety: Replace and ClearScheduled run on the host's thread (FullInit, NullInit);
// readers on any thread get copies, or a shared, never changed dataset (FindById). Each list
// has its mutex, held only while the list is replaced, looked up or copied; no other lock is
// taken under them.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "datasync/common/Published.h"
#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace DataSync {

class DatasetPolicies {
public:
    using Names = std::shared_ptr<const std::list<std::wstring>>;  // never changed once made
    struct Status {
        Names nrtDatabases = std::make_shared<const std::list<std::wstring>>();  // the list itself
        std::map<std::wstring, std::uint32_t> scheduledDatasets;
    };

    DatasetPolicies() = default;
    DatasetPolicies(const DatasetPolicies&) = delete;
    DatasetPolicies& operator=(const DatasetPolicies&) = delete;

    // Takes `policy`'s datasets (never null, kept as it is) and derives the lists from the
    // enabled ones. Returns whether an enabled dataset names "KTA" (case-sensitive) in its
    // endpoint text.
    bool Replace(std::shared_ptr<const TelemetryPolicy> policy);
    // Records the context-change options of `policy` ("sync_globalcontext_onchange",
    // "sync_datasetcontext_onchange"); nothing clears them. No behaviour depends on them yet.
    void ReadContextChangeFlags(const TelemetryPolicy& policy);
    bool SyncGlobalContextOnChange() const { return m_syncGlobalContextOnChange; }
    bool SyncDatasetContextOnChange() const { return m_syncDatasetContextOnChange; }
    // Forgets the scheduled datasets (the agent stopped).
    void ClearScheduled();
    // Counts the changes of the scheduled datasets (Replace, ClearScheduled).
    std::uint64_t ScheduledRevision() const { return m_scheduledRevision; }

    // A copy of the first dataset whose id (byId not 0) or name (byId 0) equals `key` exactly;
    // an empty DataSet when none does.
    DataSet GetDatasetPolicy(const std::wstring& key, int byId) const;
    // The first dataset whose id equals `datasetId` exactly, without a copy (it stays valid
    // after a Replace); null when none does. The timer pass asks for every record on every pass.
    std::shared_ptr<const DataSet> FindById(const std::wstring& datasetId) const;
    // Whether `datasetId` is, ignoring case, one of the three datasets treated as "none".
    static bool IsNullOrNoneDataSet(const std::wstring& datasetId);

    // A copy of the dataset policies, in policy order.
    std::list<DataSet> Datasets() const;
    Names NrtDatabases() const;  // never null
    std::map<std::wstring, std::uint32_t> ScheduledDatasets() const;

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }

private:
    void PublishStatus();

    // The policy whose datasets are in force, and the first of each id (keys view the ids).
    struct Catalog {
        std::shared_ptr<const TelemetryPolicy> policy = std::make_shared<const TelemetryPolicy>();
        std::map<std::wstring_view, const DataSet*, std::less<>> byId;
    };

    mutable std::mutex m_datasetPoliciesMutex;
    std::shared_ptr<const Catalog> m_catalog =
        std::make_shared<const Catalog>();  // guarded by m_datasetPoliciesMutex
    mutable std::mutex m_nrtMutex;
    Names m_nrtDbList = std::make_shared<const std::list<std::wstring>>();  // guarded by m_nrtMutex
    mutable std::mutex m_scheduledMutex;
    std::map<std::wstring, std::uint32_t> m_scheduledDatasets;  // seconds; guarded by m_scheduledMutex
    std::atomic<std::uint64_t> m_scheduledRevision{0};
    std::atomic<bool> m_syncGlobalContextOnChange{false};
    std::atomic<bool> m_syncDatasetContextOnChange{false};
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
