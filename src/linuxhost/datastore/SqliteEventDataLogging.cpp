// The data-store service: database handles come from the cache, and every question about a
// telemetry table is one small read on the shared reader handle of its file.
//
// Table names arrive from the agent as text and end up in SQL (SQLite cannot bind an
// identifier), so only plain identifiers are accepted, and they are quoted as well so that a
// keyword cannot change the statement. Everything else is a bound value or a file name.
#include "linuxhost/datastore/SqliteEventDataLogging.h"

#include <atomic>
#include <exception>
#include <functional>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/store/RecordCodec.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {

namespace {

std::atomic<EventDataLogging*> g_installedService{nullptr};

EventDataLogging* DefaultService() {
    static EventDataLogging* service = new linuxhost::SqliteEventDataLogging();  // lives to process exit
    return service;
}

}  // namespace

EventDataLogging* EventDataLogging::GetInstance() {
    EventDataLogging* installed = g_installedService.load(std::memory_order_acquire);
    return installed != nullptr ? installed : DefaultService();
}

void EventDataLogging::SetInstance(EventDataLogging* instance) {
    g_installedService.store(instance, std::memory_order_release);
}

namespace linuxhost {

namespace {

constexpr const wchar_t* kDeviceContextKind = L"DeviceContext";

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
bool IsAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

std::string QuotedTable(const std::wstring& table) {
    return "\"" + String::UTF16ToUTF8(table) + "\"";
}

}  // namespace

bool SqliteEventDataLogging::IsPlainIdentifier(const std::wstring& name) {
    if (name.empty() || !(IsAsciiLetter(name[0]) || name[0] == L'_')) return false;
    for (wchar_t c : name) {
        if (!(IsAsciiLetter(c) || IsAsciiDigit(c) || c == L'_')) return false;
    }
    return true;
}

DatabasePtr SqliteEventDataLogging::GetDatabase(const std::wstring& path, bool create, bool reader) {
    DatabaseManager* manager = DatabaseManager::GetInstance();
    if (manager == nullptr) return nullptr;
    try {
        return manager->Get(path, create, reader);
    } catch (const std::exception& error) {
        HostLog().e(L"EventDataLogging::GetDatabase: %s: %s", path, String::UTF8ToUTF16(error.what()));
        return nullptr;
    }
}

DatabasePtr SqliteEventDataLogging::OpenTableFile(const std::wstring& datasetId, const std::wstring& table,
                                                  utility::EGetDBPathMethod method, const wchar_t* caller) {
    if (!IsPlainIdentifier(table)) {
        HostLog().w(L"EventDataLogging::%s: refused table name [%s]", caller, table);
        return nullptr;
    }
    const std::wstring root = linuxhost::DbFolder(method);
    if (root.empty()) {
        HostLog().w(L"EventDataLogging::%s: no folder for method %s", caller,
                    utility::DBPathMethodLabel(method));
        return nullptr;
    }
    const std::wstring path = root + ToDbFile(datasetId, table);
    DatabasePtr database = GetDatabase(path, false, true);
    if (!database) HostLog().d(L"EventDataLogging::%s: no database %s", caller, path);
    return database;
}

std::int64_t SqliteEventDataLogging::IdBound(const std::wstring& datasetId, const std::wstring& table,
                                             utility::EGetDBPathMethod method, const char* aggregate,
                                             const wchar_t* caller) {
    DatabasePtr database = OpenTableFile(datasetId, table, method, caller);
    if (!database) return -1;
    try {
        CppSQLite3Query query =
            database->compileStatement(std::string("SELECT ") + aggregate + "(id) FROM " + QuotedTable(table))
                .execQuery();
        return query.eof() ? 0 : query.getInt64Field(0, 0);
    } catch (const std::exception& error) {
        HostLog().w(L"EventDataLogging::%s: %s: %s", caller, database->path(),
                    String::UTF8ToUTF16(error.what()));
        return -1;
    }
}

std::int64_t SqliteEventDataLogging::GetFirstID(const std::wstring& datasetId, const std::wstring& table,
                                                utility::EGetDBPathMethod method) {
    return IdBound(datasetId, table, method, "MIN", L"GetFirstID");
}

std::int64_t SqliteEventDataLogging::GetLastID(const std::wstring& datasetId, const std::wstring& table,
                                               utility::EGetDBPathMethod method) {
    const std::wstring root = linuxhost::DbFolder(method);
    // A name or root the read refuses is refused there, with its log line.
    if (root.empty() || !IsPlainIdentifier(table))
        return IdBound(datasetId, table, method, "MAX", L"GetLastID");
    // Looked at before the read, so that a commit after it changes what the next call sees.
    const std::string path = String::UTF16ToUTF8(root + ToDbFile(datasetId, table));
    const DatabaseLook look = DatabaseLook::Of(path);
    // Two paths of one hash cost reads only: their files' identities differ.
    const std::size_t key = std::hash<std::string>()(path);
    {
        std::lock_guard<std::mutex> lock(m_lastIdsMutex);
        const auto known = m_lastIds.find(key);
        if (known != m_lastIds.end() && known->second.look.StillHolds(look)) return known->second.id;
    }
    const std::int64_t id = IdBound(datasetId, table, method, "MAX", L"GetLastID");
    if (id < 0 || !look.settled) return id;
    std::lock_guard<std::mutex> lock(m_lastIdsMutex);
    if (m_lastIds.size() >= kMaxKnownLastIds) m_lastIds.clear();  // files gone by the thousand
    m_lastIds[key] = {look, id};
    return id;
}

std::string SqliteEventDataLogging::GetLastLogtime(const std::wstring& datasetId, const std::wstring& table,
                                                   utility::EGetDBPathMethod method) {
    DatabasePtr database = OpenTableFile(datasetId, table, method, L"GetLastLogtime");
    if (!database) return std::string();
    try {
        CppSQLite3Query query =
            database->compileStatement("SELECT logtime FROM " + QuotedTable(table) + " ORDER BY id DESC LIMIT 1")
                .execQuery();
        if (query.eof()) return std::string();
        const char* logtime = query.fieldValue(0);
        return logtime != nullptr ? std::string(logtime) : std::string();
    } catch (const std::exception& error) {
        HostLog().w(L"EventDataLogging::GetLastLogtime: %s: %s", database->path(),
                    String::UTF8ToUTF16(error.what()));
        return std::string();
    }
}

bool SqliteEventDataLogging::ServeUnchangedContext(const DatabaseLook& look, DeviceContext& deviceContext) {
    std::lock_guard<std::mutex> lock(m_contextMutex);
    if (!m_contextLook.StillHolds(look)) return false;  // also another file now
    deviceContext = m_context;
    return true;
}

int SqliteEventDataLogging::GetLastDeviceContext(DeviceContext* deviceContext, int flag) {
    if (deviceContext == nullptr) return 1;
    // Looked at before the read, so that a write after it changes what the next call sees.
    const DatabaseLook look = DatabaseLook::Of(String::UTF16ToUTF8(
        linuxhost::DbFolder(utility::DB_PATH_INTERNAL) + ToDbFile(std::wstring(), kDeviceContextKind)));
    if (ServeUnchangedContext(look, *deviceContext)) return 0;
    DatabasePtr database =
        OpenTableFile(std::wstring(), kDeviceContextKind, utility::DB_PATH_INTERNAL, L"GetLastDeviceContext");
    if (!database) return 1;
    try {
        CppSQLite3Query query =
            database->compileStatement("SELECT id, data FROM " + QuotedTable(kDeviceContextKind) + " ORDER BY id DESC LIMIT 1")
                .execQuery();
        if (query.eof()) return 1;
        const std::int64_t rowId = query.getInt64Field(0);
        const char* data = query.fieldValue(1);
        {
            // The same row text as last time decodes to the same record.
            std::lock_guard<std::mutex> lock(m_contextMutex);
            if (data != nullptr && m_contextPath == database->path() && m_contextText == data &&
                m_context.row_id() == rowId) {
                m_contextLook = look;
                *deviceContext = m_context;
                return 0;
            }
        }
        // Decode into a scratch record so that the caller's one is untouched unless we succeed.
        DeviceContext decoded;
        if (data == nullptr || !JsonSerialize::DeSerialize(std::string(data), &decoded)) {
            HostLog().w(L"EventDataLogging::GetLastDeviceContext: row %lld of %s cannot be decoded (flag %d)",
                        rowId, database->path(), flag);
            return 1;
        }
        decoded.set_row_id(rowId);
        {
            std::lock_guard<std::mutex> lock(m_contextMutex);
            m_contextPath = database->path();
            m_contextText = data;
            m_context = decoded;
            m_contextLook = look;
        }
        *deviceContext = std::move(decoded);
        return 0;
    } catch (const std::exception& error) {
        HostLog().w(L"EventDataLogging::GetLastDeviceContext: %s: %s", database->path(),
                    String::UTF8ToUTF16(error.what()));
        return 1;
    }
}

std::wstring SqliteEventDataLogging::ToDbFile(const std::wstring& datasetId, const std::wstring& kind) {
    return DataSync::TelemetryFileName(datasetId, kind);
}

std::wstring SqliteEventDataLogging::GetDatasetId(const std::wstring& nameOrPath) {
    const std::size_t separator = nameOrPath.find_last_of(L"/\\");
    const std::wstring name = separator == std::wstring::npos ? nameOrPath : nameOrPath.substr(separator + 1);
    const std::size_t underscore = name.rfind(L'_');
    if (underscore == std::wstring::npos) return std::wstring();
    return name.substr(0, underscore);
}

bool SqliteEventDataLogging::UpdateItemDataEncryted(std::int64_t firstId, std::int64_t lastId, int method) {
    // The item data of this host's rows are stored as written; nothing to rewrite.
    HostLog().i(L"EventDataLogging::UpdateItemDataEncryted: first_id=%lld last_id=%lld method=%d", firstId,
                lastId, method);
    return true;
}

void SqliteEventDataLogging::mark_integrity_check_all() {
    HostLog().i(
        L"EventDataLogging::mark_integrity_check_all: next open of each cached database runs quick_check");
    DatabaseManager* manager = DatabaseManager::GetInstance();
    if (manager != nullptr) manager->MarkIntegrityCheckAll();
}

}  // namespace linuxhost
}  // namespace ZEL
