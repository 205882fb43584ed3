// The host's database cache: one shared ZEL::Database per database file, keyed by the file's
// absolute, lexically normalised UTF-8 path, so that every store and thread that names a file
// (in whatever spelling) works on the same serialized connection.
//
// Thread safety: every operation may be called from any thread. Opening a file and the
// integrity check run outside the cache's lock.
// Lifetime: dropping a handle from the cache never closes it under a caller; the connection
// closes when the last holder lets go.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "datasync/host/DataStore.h"

namespace ZEL {
namespace linuxhost {

class SqliteDatabaseManager : public DatabaseManager {
public:
    // How long a connection waits for a lock held by another connection or process.
    static constexpr int kBusyTimeoutMilliseconds = 5000;

    DatabasePtr Get(const std::wstring& path, bool create, bool reader) override;
    void CloseCachedDatabaseAtPath(const std::wstring& path) override;
    void CloseCachedDatabasesUnderPath(const std::wstring& folder) override;
    void MarkIntegrityCheckAll() override;

    // The cache key of `path`: absolute, lexically normal, UTF-8; empty when `path` cannot
    // name a file (empty, or holding a NUL).
    static std::string CacheKey(const std::wstring& path);

private:
    static DatabasePtr Open(const std::string& key, bool create, bool reader);
    static void QuickCheck(Database& database, const std::string& key);

    std::mutex m_mutex;
    std::map<std::string, DatabasePtr> m_cache;  // guarded by m_mutex
    std::set<std::string> m_pendingChecks;       // guarded by m_mutex
    // Counts the Close* calls, so that an open racing with one is not cached afterwards.
    std::uint64_t m_closeGeneration = 0;  // guarded by m_mutex
};

}  // namespace linuxhost
}  // namespace ZEL
