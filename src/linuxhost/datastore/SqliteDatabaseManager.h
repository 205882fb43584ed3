// The host's database cache: one shared ZEL::Database per database file, keyed by the file's
// absolute, lexically normalised UTF-8 path, so that every store and thread that names a file
// (in whatever spelling) works on the same serialized connection.
//
// A cached handle is used only while its path still names the file it opened: a file deleted,
// or replaced by another (a writer that deletes and recreates its database), gets a fresh handle
// at the next Get, so nobody goes on reading a file that is gone.
//
// An idle handle costs about 60 KiB (its schema, pages and statements, and the 32-KiB index of a
// WAL file mapped): the agent's timer pass lets go of those no upload took since the pass before,
// so an idle agent holds none while a file drained one batch a pass keeps its handle.
//
// The cache keeps about kMaxIdleHandles handles that nobody else holds (checked at each open),
// the least recently used going first: an agent watching hundreds of files keeps open only those it works on. A
// handle a caller holds is never dropped, so a file never has two handles at once. The number is above the
// files an agent uploads from in turn (a few dozen datasets draining at once, one batch of each per pass):
// below it every batch would open its file again and read its schema, which costs as much as the batch's rows.
//
// Thread safety: every operation may be called from any thread. Opening a file and the
// integrity check run outside the cache's lock; the only file-system call under it is a second
// stat, when a cached handle seems to be of a file that is gone or replaced.
// Lifetime: dropping a handle from the cache never closes it under a caller; the connection
// closes when the last holder lets go.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "linuxhost/datastore/DataStore.h"

namespace ZEL {
namespace linuxhost {

class SqliteDatabaseManager : public DatabaseManager {
public:
    // How long a connection waits for a lock held by another connection or process.
    static constexpr int kBusyTimeoutMilliseconds = 5000;
    static constexpr std::size_t kMaxIdleHandles = 32;

    DatabasePtr Get(const std::wstring& path, bool create, bool reader) override;
    void CloseCachedDatabaseAtPath(const std::wstring& path) override;
    void CloseCachedDatabasesUnderPath(const std::wstring& folder) override;
    void MarkIntegrityCheckAll() override;
    std::vector<std::wstring> ReadOnlyDatabases() override;
    void CloseHandlesUnusedSinceLastCall() override;

    // The cache key of `path`: absolute, lexically normal, UTF-8; empty when `path` cannot
    // name a file (empty, or holding a NUL).
    static std::string CacheKey(const std::wstring& path);

    // Makes every connection of the process take its page-cache pages one at a time as it reads
    // them, instead of one block of 20 pages (about 87 KiB) at its first read: the cached handles
    // of small watched files then hold a few KiB each. Process-wide; call before the process's
    // first use of SQLite (false, and nothing changed, after it).
    static bool AllocatePagesOnDemand();

private:
    // A cached handle and the identity of the file it opened.
    struct Entry {
        DatabasePtr database;
        dev_t device = 0;
        ino_t inode = 0;
        std::uint64_t lastUse = 0;
    };

    static DatabasePtr Open(const std::string& key, bool create, bool reader);
    // The identity of the file at `key`; false when there is none.
    static bool Identify(const std::string& key, dev_t& device, ino_t& inode);
    static void QuickCheck(Database& database, const std::string& key);
    // Drops the least recently used handles nobody else holds until at most kMaxIdleHandles
    // remain cached; they are handed to `dropped` to be closed after the lock is released.
    // REQUIRES: m_mutex held.
    void DropIdleHandles(std::vector<DatabasePtr>& dropped);

    std::mutex m_mutex;
    std::map<std::string, Entry> m_cache;   // guarded by m_mutex
    std::set<std::string> m_pendingChecks;       // guarded by m_mutex
    std::set<std::wstring> m_readOnly;           // files last opened read-only; guarded by m_mutex
    std::uint64_t m_uses = 0;                    // guarded by m_mutex
    std::uint64_t m_usesAtLastSweep = 0;         // m_uses at the last CloseHandlesUnusedSinceLastCall; guarded by m_mutex
    // Counts the Close* calls, so that an open racing with one is not cached afterwards.
    std::uint64_t m_closeGeneration = 0;  // guarded by m_mutex
};

}  // namespace linuxhost
}  // namespace ZEL
