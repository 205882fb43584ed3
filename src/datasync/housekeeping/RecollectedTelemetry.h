// RecollectedTelemetry: what an on-demand collection or a "sendTelemetry" command leaves for the
// timer pass: the database file names per dataset name (24 names, fixed), and the pending
// acknowledgements of the user agent's writes.
//
// Thread safety: any thread. The mutex is held only while a list is replaced or copied, never
// while an acknowledgement is waited for.
#pragma once

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ZEL {
namespace DataSync {

class RecollectedTelemetry {
public:
    using Files = std::map<std::wstring, std::vector<std::wstring>>;

    RecollectedTelemetry();

    // Replaces the file list of `datasetName` if it is one of the 24 names; false otherwise.
    bool SetFiles(const std::wstring& datasetName, std::vector<std::wstring> files);
    Files Copy() const;
    std::vector<std::wstring> Names() const;

    void AddAcknowledgement(std::future<bool> acknowledged);
    // Waits for every pending acknowledgement and forgets them; true when all were given.
    bool TakeAcknowledgements();

private:
    mutable std::mutex m_mutex;
    Files m_recollectedTelemetry;                       // guarded by m_mutex
    std::vector<std::future<bool>> m_duplicateFutures;  // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
