// The database handles a store has already set up (table created, journal mode chosen). The host
// shares one handle per file for as long as it is cached, so the set-up runs once per handle
// instead of once per call. Handles are held weakly: a handle closed and reopened, even at the
// same address, is new.
//
// Thread safety: all members may be called from any thread.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "datasync/host/DataStore.h"

namespace ZEL {
namespace DataSync {

class PreparedHandles {
public:
    // True on the first call for `db` (the caller then sets it up), false afterwards.
    bool FirstUse(const DatabasePtr& db) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_prepared.erase(std::remove_if(m_prepared.begin(), m_prepared.end(),
                                        [](const std::weak_ptr<Database>& handle) { return handle.expired(); }),
                         m_prepared.end());
        for (const std::weak_ptr<Database>& handle : m_prepared)
            if (handle.lock() == db) return false;
        m_prepared.push_back(db);
        return true;
    }

private:
    std::mutex m_mutex;
    std::vector<std::weak_ptr<Database>> m_prepared;
};

}  // namespace DataSync
}  // namespace ZEL
