// ConsentGate: on a consumer device that no commercial organisation has claimed, telemetry
// leaves the device only with the user's consent to anonymous metrics. The datasets of
// anonymousMetricsNotRequired are exempt; the list starts empty and the agent never adds to it
// (the host may).
//
// Thread safety: any thread; the exempt list is guarded by its own mutex, held only while it is
// replaced or searched. The host's device-state queries are called with no lock held. Nothing
// here logs.
#pragma once

#include <list>
#include <mutex>
#include <string>

namespace ZEL {
namespace DataSync {

class ConsentGate {
public:
    // The consent gate without a dataset: commercially claimed, or not a consumer device, or
    // consent given (asked in that order).
    bool IsSyncAllowedByMetrics() const;
    // As above, and otherwise true for an exempt dataset (exact comparison).
    bool IsSyncAllowedByMetrics(const std::wstring& datasetId) const;
    // The dataset of a database file by its name (no device-context special case).
    bool IsSyncAllowedByMetricsForFile(const std::wstring& dbPath) const;

    void SetAnonymousMetricsNotRequired(std::list<std::wstring> datasetIds);

private:
    mutable std::mutex m_mutex;
    std::list<std::wstring> anonymousMetricsNotRequired;  // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
