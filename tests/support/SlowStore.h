// The host's data store, installed for the lifetime of the object, except that one database file
// calls `onDelete` on the deleting thread as each of its delete statements starts: a slow disk
// that the test holds for as long as it likes.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <mutex>

#include "datasync/host/StringUtil.h"
#include "linuxhost/datastore/SqliteDatabaseManager.h"

namespace testsupport {

class SlowStore : public ZEL::DatabaseManager {
public:
    SlowStore(std::wstring fileName, std::function<void()> onDelete)
        : m_file(std::move(fileName)), m_onDelete(std::move(onDelete)) {
        SetInstance(this);
    }
    ~SlowStore() override { SetInstance(nullptr); }

    ZEL::DatabasePtr Get(const std::wstring& path, bool create, bool reader) override {
        if (path.size() < m_file.size() || path.compare(path.size() - m_file.size(), m_file.size(), m_file) != 0)
            return m_host.Get(path, create, reader);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_slow) m_slow = std::make_shared<Traced>(path, m_onDelete);
        return m_slow;
    }
    void CloseCachedDatabaseAtPath(const std::wstring& path) override { m_host.CloseCachedDatabaseAtPath(path); }
    void CloseCachedDatabasesUnderPath(const std::wstring& f) override { m_host.CloseCachedDatabasesUnderPath(f); }
    void MarkIntegrityCheckAll() override {}

private:
    struct Traced : ZEL::Database {
        Traced(const std::wstring& path, const std::function<void()>& onDelete) : Database(path), hook(onDelete) {
            open(ZEL::String::UTF16ToUTF8(path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            sqlite3_trace_v2(Checked(), SQLITE_TRACE_STMT, &Trace, this);
        }
        static int Trace(unsigned, void* self, void* statement, void*) {
            if (std::string(sqlite3_sql(static_cast<sqlite3_stmt*>(statement))).rfind("DELETE", 0) == 0)
                static_cast<Traced*>(self)->hook();
            return 0;
        }
        const std::function<void()>& hook;
    };

    const std::wstring m_file;
    const std::function<void()> m_onDelete;
    ZEL::linuxhost::SqliteDatabaseManager m_host;
    std::mutex m_mutex;
    ZEL::DatabasePtr m_slow;  // guarded by m_mutex
};

}  // namespace testsupport
