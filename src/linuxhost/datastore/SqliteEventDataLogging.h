// The host's data-store service behind EventDataLogging::GetInstance(): it hands out cached
// database handles and answers the agent's questions about the telemetry tables (row-id
// bounds, the newest logtime, the newest device context).
//
// Readers never create files: asking about a dataset that has no file yet gives -1 / empty /
// "none" and leaves the folder as it was.
// Thread safety: every operation may be called from any thread. Besides the database cache it
// keeps what the last reads of the tables' largest ids and of the newest device context found,
// each under its own mutex (below).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/util/FileIdentity.h"

namespace ZEL {
namespace linuxhost {

class SqliteEventDataLogging : public EventDataLogging {
public:
    DatabasePtr GetDatabase(const std::wstring& path, bool create, bool reader) override;
    std::int64_t GetFirstID(const std::wstring& datasetId, const std::wstring& table,
                            utility::EGetDBPathMethod method) override;
    std::int64_t GetLastID(const std::wstring& datasetId, const std::wstring& table,
                           utility::EGetDBPathMethod method) override;
    std::string GetLastLogtime(const std::wstring& datasetId, const std::wstring& table,
                               utility::EGetDBPathMethod method) override;
    int GetLastDeviceContext(DeviceContext* deviceContext, int flag) override;
    std::wstring ToDbFile(const std::wstring& datasetId, const std::wstring& kind) override;
    std::wstring GetDatasetId(const std::wstring& nameOrPath) override;
    bool UpdateItemDataEncryted(std::int64_t firstId, std::int64_t lastId, int method) override;
    void mark_integrity_check_all() override;

    // True for a plain SQL identifier ([A-Za-z_][A-Za-z0-9_]*), the only table names this
    // service puts into SQL text.
    static bool IsPlainIdentifier(const std::wstring& name);

private:
    // MIN or MAX of `id`; 0 without rows, -1 when the file cannot be opened or queried.
    std::int64_t IdBound(const std::wstring& datasetId, const std::wstring& table,
                         utility::EGetDBPathMethod method, const char* aggregate, const wchar_t* caller);
    // The reader handle of the table's file, or empty (logged) when there is none to read.
    DatabasePtr OpenTableFile(const std::wstring& datasetId, const std::wstring& table,
                              utility::EGetDBPathMethod method, const wchar_t* caller);

    // The largest id of each table file last read, with the look at the file before that read:
    // the uploaders ask after every batch whether rows wait, the timer pass asks for every
    // dataset. While the file looks as it did at a settled look, the table is not read again.
    // By a hash of the path; guarded by m_lastIdsMutex.
    struct KnownLastId {
        DatabaseLook look;
        std::int64_t id = 0;
    };
    static constexpr std::size_t kMaxKnownLastIds = 4096;
    std::mutex m_lastIdsMutex;
    std::unordered_map<std::size_t, KnownLastId> m_lastIds;

    // The last decoded context, when its files look as they did at a settled look before its read.
    bool ServeUnchangedContext(const DatabaseLook& look, DeviceContext& deviceContext);

    // The newest device context as last decoded, with the row text it came from and the look at
    // its files before that read: the uploaders ask for it before every batch, and it changes
    // rarely. While the files look as they did, the row is not read again; when they changed,
    // a row text seen before is not decoded again. Guarded by m_contextMutex.
    std::mutex m_contextMutex;
    std::wstring m_contextPath;
    std::string m_contextText;
    DeviceContext m_context;
    DatabaseLook m_contextLook;
};

}  // namespace linuxhost
}  // namespace ZEL
