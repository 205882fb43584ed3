// The database cache behind DatabaseManager::GetInstance(), and the process-wide switches of
// the DatabaseManager interface.
//
// A file is opened on its first Get and stays open while it is cached, so the stores' many
// short operations share one connection and its page cache. The purge code drops entries
// before it deletes files; after that a handle still held by a caller keeps working on the
// old file until the caller lets go.
#include "linuxhost/datastore/SqliteDatabaseManager.h"

#include <malloc.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {

namespace {

std::atomic<DatabaseManager*> g_installedManager{nullptr};

DatabaseManager* DefaultManager() {
    static DatabaseManager* manager = new linuxhost::SqliteDatabaseManager();  // lives to process exit
    return manager;
}

}  // namespace

DatabaseManager* DatabaseManager::GetInstance() {
    DatabaseManager* installed = g_installedManager.load(std::memory_order_acquire);
    return installed != nullptr ? installed : DefaultManager();
}

void DatabaseManager::SetInstance(DatabaseManager* instance) {
    g_installedManager.store(instance, std::memory_order_release);
}

namespace linuxhost {

namespace {

constexpr std::size_t kMaxReportedProblems = 10;

// Opens `database` and reads the file header once, so that a file that is no database, or one
// the connection cannot read, is found here and not by the first store that uses the handle.
bool TryOpen(Database& database, const std::string& key, int flags, std::string& error) {
    try {
        database.open(key, flags);
        // The agent reads a few rows at a time from many small files: a small cache per
        // connection serves that, and keeps hundreds of watched files from adding megabytes.
        database.limitMemory(128, 16, 128);
        // The cache closes idle handles. Closing the last connection of a WAL database would
        // otherwise checkpoint it and truncate its WAL file: a change the file watcher reports,
        // which reopens the file, and so on. The writers' own commits and closes checkpoint.
        database.setCheckpointOnClose(false);
        database.setBusyTimeout(SqliteDatabaseManager::kBusyTimeoutMilliseconds);
        database.execScalar("PRAGMA schema_version");
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        database.close();
        return false;
    }
}

// True when `key` is `folder` or lies below it. Both are normalised, so comparing whole path
// components is comparing text up to a '/' boundary.
bool IsAtOrUnder(const std::string& key, const std::string& folder) {
    if (key.compare(0, folder.size(), folder) != 0) return false;
    return key.size() == folder.size() || key[folder.size()] == '/';
}

// Whether `path` is absolute and lexically normal as it is: no empty, "." or ".." name in it.
// The stores' own paths are, and a Get then needs no std::filesystem::path (about 8000
// instructions a call, three calls per uploaded batch).
bool IsAbsoluteAndNormal(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    for (std::size_t start = 1; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::size_t length = end - start;
        if (length == 0 || (path[start] == '.' && (length == 1 || (length == 2 && path[start + 1] == '.'))))
            return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::string SqliteDatabaseManager::CacheKey(const std::wstring& path) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return std::string();
    std::string utf8 = String::UTF16ToUTF8(path);
    if (IsAbsoluteAndNormal(utf8)) return utf8;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(utf8, error);
    if (error) return std::string();
    return absolute.lexically_normal().string();
}

bool SqliteDatabaseManager::AllocatePagesOnDemand() {
    // No buffer of our own and no initial block: SQLite's page cache mallocs each page.
    return sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) == SQLITE_OK;
}

DatabasePtr SqliteDatabaseManager::Open(const std::string& key, bool create, bool reader) {
    std::error_code error;
    // Opening without SQLITE_OPEN_CREATE already refuses a missing file; checking first keeps
    // the common "no such dataset yet" case quiet.
    if (!create && !std::filesystem::exists(key, error)) return nullptr;

    auto database = std::make_shared<Database>(String::UTF8ToUTF16(key));
    std::string failure;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (TryOpen(*database, key, flags, failure)) return database;
    if (reader) {
        std::string readOnlyFailure;
        if (TryOpen(*database, key, SQLITE_OPEN_READONLY, readOnlyFailure)) {
            HostLog().w(L"DatabaseManager: %s opened read-only: %s", database->path(),
                        String::UTF8ToUTF16(failure));
            return database;
        }
        failure += "; read-only: " + readOnlyFailure;
    }
    HostLog().e(L"DatabaseManager: cannot open %s: %s", database->path(), String::UTF8ToUTF16(failure));
    return nullptr;
}

void SqliteDatabaseManager::QuickCheck(Database& database, const std::string& key) {
    const std::wstring path = String::UTF8ToUTF16(key);
    try {
        CppSQLite3Query query = database.execQuery("PRAGMA quick_check");
        std::string problems;
        std::size_t count = 0;
        for (; !query.eof(); query.nextRow()) {
            const char* line = query.fieldValue(0);
            if (line != nullptr && std::strcmp(line, "ok") == 0) continue;
            if (++count > kMaxReportedProblems) continue;
            if (!problems.empty()) problems += "; ";
            problems += line != nullptr ? line : "(null)";
        }
        if (count == 0) {
            HostLog().d(L"DatabaseManager: quick_check ok: %s", path);
        } else {
            HostLog().e(L"DatabaseManager: quick_check failed: %s: %d problem(s): %s", path, count,
                        String::UTF8ToUTF16(problems));
        }
    } catch (const std::exception& failure) {
        HostLog().e(L"DatabaseManager: quick_check failed: %s: %s", path,
                    String::UTF8ToUTF16(failure.what()));
    }
}

bool SqliteDatabaseManager::Identify(const std::string& key, dev_t& device, ino_t& inode) {
    struct stat info {};
    if (::stat(key.c_str(), &info) != 0) return false;
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

DatabasePtr SqliteDatabaseManager::Get(const std::wstring& path, bool create, bool reader) {
    const std::string key = CacheKey(path);
    if (key.empty()) return nullptr;

    DatabasePtr database;
    DatabasePtr replaced;  // a handle of a file that is gone, closed after the lock is released
    bool check = false;
    std::uint64_t generation = 0;
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = Identify(key, device, inode);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_cache.find(key);
        const auto cachedIsOnDisk = [&] {
            return exists && found->second.device == device && found->second.inode == inode;
        };
        // Another thread may have created and cached the file since we looked: only a file that
        // is still gone or another one now drops the cached handle.
        if (found != m_cache.end() && !cachedIsOnDisk()) exists = Identify(key, device, inode);
        if (found != m_cache.end() && cachedIsOnDisk()) {
            database = found->second.database;
            found->second.lastUse = ++m_uses;
            check = m_pendingChecks.erase(key) > 0;
        } else if (found != m_cache.end()) {
            replaced = std::move(found->second.database);
            m_cache.erase(found);
        }
        generation = m_closeGeneration;
    }
    if (replaced)
        HostLog().i(L"DatabaseManager: %s was deleted or replaced; its handle is dropped", String::UTF8ToUTF16(key));

    if (!database) {
        // Opened without the lock: reading the header may wait out another process's lock.
        DatabasePtr opened = Open(key, create, reader);
        if (!opened) return nullptr;
        if (!Identify(key, device, inode)) return opened;  // gone again at once: not cached
        DatabasePtr loser;                  // closed after the lock is released
        std::vector<DatabasePtr> dropped;  // likewise
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_cache.find(key);
            if (found != m_cache.end() && found->second.device == device && found->second.inode == inode) {
                // Another thread opened the file meanwhile: everybody shares its handle.
                database = found->second.database;
                loser = std::move(opened);
            } else {
                database = std::move(opened);
                // A Close* since we looked means the caller asked to let go of this file;
                // this handle then belongs to our caller alone.
                if (generation == m_closeGeneration) m_cache[key] = Entry{database, device, inode, ++m_uses};
                if (database->isReadOnly())
                    m_readOnly.insert(database->path());
                else
                    m_readOnly.erase(database->path());
            }
            check = m_pendingChecks.erase(key) > 0;
            DropIdleHandles(dropped);
        }
    }

    if (check) QuickCheck(*database, key);
    return database;
}

void SqliteDatabaseManager::DropIdleHandles(std::vector<DatabasePtr>& dropped) {
    // Only the cache holds an idle handle, and nobody can take it without the lock: safe to drop.
    std::vector<std::map<std::string, Entry>::iterator> idle;
    for (auto entry = m_cache.begin(); entry != m_cache.end(); ++entry)
        if (entry->second.database.use_count() == 1) idle.push_back(entry);
    if (idle.size() <= kMaxIdleHandles) return;
    const std::size_t excess = idle.size() - kMaxIdleHandles;
    std::nth_element(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(excess - 1), idle.end(),
                     [](const auto& a, const auto& b) { return a->second.lastUse < b->second.lastUse; });
    for (std::size_t n = 0; n < excess; ++n) {
        dropped.push_back(std::move(idle[n]->second.database));
        m_cache.erase(idle[n]);
    }
}

void SqliteDatabaseManager::CloseHandlesUnusedSinceLastCall() {
    std::vector<DatabasePtr> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto entry = m_cache.begin(); entry != m_cache.end();) {
            // Only the cache holds an idle handle, and nobody can take it without the lock.
            if (entry->second.database.use_count() == 1 && entry->second.lastUse <= m_usesAtLastSweep) {
                dropped.push_back(std::move(entry->second.database));
                entry = m_cache.erase(entry);
            } else {
                ++entry;
            }
        }
        m_usesAtLastSweep = m_uses;
    }
    if (dropped.empty()) return;
    dropped.clear();  // the connections close here, outside the lock
    // What they held lies in freed chunks between live ones, which the allocator keeps unless
    // asked: hand the whole free pages back, once, when a drain's handles go.
    ::malloc_trim(0);
}

void SqliteDatabaseManager::CloseCachedDatabaseAtPath(const std::wstring& path) {
    const std::string key = CacheKey(path);
    if (key.empty()) return;
    DatabasePtr dropped;  // closed after the lock is released
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_closeGeneration;
        const auto found = m_cache.find(key);
        if (found == m_cache.end()) return;
        dropped = std::move(found->second.database);
        m_cache.erase(found);
    }
    HostLog().d(L"DatabaseManager: closed cached %s", String::UTF8ToUTF16(key));
}

void SqliteDatabaseManager::CloseCachedDatabasesUnderPath(const std::wstring& folder) {
    std::string prefix = CacheKey(folder);
    if (prefix.empty()) return;
    // "/a/b/" and "/a/b" name the same folder; the root becomes "", which every key is under.
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();

    std::vector<DatabasePtr> dropped;  // closed after the lock is released
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_closeGeneration;
        for (auto entry = m_cache.begin(); entry != m_cache.end();) {
            if (IsAtOrUnder(entry->first, prefix)) {
                dropped.push_back(std::move(entry->second.database));
                entry = m_cache.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    if (!dropped.empty()) {
        HostLog().d(L"DatabaseManager: closed %d cached database(s) under %s", dropped.size(),
                    String::UTF8ToUTF16(prefix));
    }
}

std::vector<std::wstring> SqliteDatabaseManager::ReadOnlyDatabases() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<std::wstring>(m_readOnly.begin(), m_readOnly.end());
}

void SqliteDatabaseManager::MarkIntegrityCheckAll() {
    std::size_t marked = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_cache) m_pendingChecks.insert(entry.first);
        marked = m_cache.size();
    }
    HostLog().i(L"DatabaseManager: integrity check marked for %d cached database(s)", marked);
}

}  // namespace linuxhost
}  // namespace ZEL
