// The last outcome per dataset and family.
#include "datasync/scheduling/UploadLedger.h"

#include <cwctype>

namespace ZEL {
namespace DataSync {

UploadLedger::Key UploadLedger::KeyOf(const std::wstring& datasetId, SyncEP::SyncEp_type family) {
    std::wstring upper = datasetId;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return {upper, static_cast<int>(family)};
}

void UploadLedger::Record(const std::wstring& datasetId, SyncEP::SyncEp_type family,
                          const UploadOutcome& outcome) {
    const Entry entry{
        outcome,
        std::chrono::duration_cast<std::chrono::seconds>(m_clock.WallNow().time_since_epoch()).count()};
    const Key key = KeyOf(datasetId, family);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries[key] = entry;
}

std::optional<UploadLedger::Entry> UploadLedger::Last(const std::wstring& datasetId,
                                                      SyncEP::SyncEp_type family) const {
    const Key key = KeyOf(datasetId, family);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(key);
    if (found == m_entries.end()) return std::nullopt;
    return found->second;
}

}  // namespace DataSync
}  // namespace ZEL
