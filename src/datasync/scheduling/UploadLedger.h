// UploadLedger: the last outcome of each dataset's upload to each endpoint family, and when it
// came (wall-clock seconds). The family leg records every leg it runs, a gate's refusal included;
// the dispatch records the refusals made for the whole dataset (its applicability). The status
// reads it to tell why rows wait.
//
// Thread safety: any thread. One small lock, held only to copy an entry in or out.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "datasync/common/UploadOutcome.h"
#include "datasync/config/SyncEP.h"
#include "datasync/host/Clock.h"

namespace ZEL {
namespace DataSync {

class UploadLedger {
public:
    struct Entry {
        UploadOutcome outcome;
        std::int64_t at = 0;  // Unix seconds
    };

    explicit UploadLedger(Clock& clock) : m_clock(clock) {}

    // Dataset ids are compared ignoring case; the device context's is empty.
    void Record(const std::wstring& datasetId, SyncEP::SyncEp_type family, const UploadOutcome& outcome);
    std::optional<Entry> Last(const std::wstring& datasetId, SyncEP::SyncEp_type family) const;

private:
    using Key = std::pair<std::wstring, int>;
    static Key KeyOf(const std::wstring& datasetId, SyncEP::SyncEp_type family);

    Clock& m_clock;
    mutable std::mutex m_mutex;
    std::map<Key, Entry> m_entries;  // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
