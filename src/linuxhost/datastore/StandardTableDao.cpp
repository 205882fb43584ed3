// Telemetry table access. The templates are instantiated here for the record kinds that each
// reader supports, so a read of an unsupported kind fails to link rather than at run time.
#include "linuxhost/datastore/StandardTableDao.h"

#include <limits>

#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/housekeeping/CutoffStatement.h"
#include "datasync/store/RecordCodec.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/utility/FileSystem.h"

namespace ZEL {
namespace linuxhost {
namespace {

const wchar_t* FunctionName(bool forSync) {
    return forSync ? L"StandardTableDao::GetListForSync" : L"StandardTableDao::GetList";
}

// The row's text as stored (UTF-8). Both of the codec's families read the same layout; item
// contexts are only read for the KTA/NAVS uploaders.
template <typename T>
bool Decode(const std::string& json, T* record) {
    return JsonSerialize::DeSerialize(json, record);
}

}  // namespace

std::int64_t RangeEnd(std::int64_t startId, int count) {
    const std::int64_t span = count > 0 ? count : 0;
    return startId > std::numeric_limits<std::int64_t>::max() - span ? std::numeric_limits<std::int64_t>::max()
                                                                      : startId + span;
}

StandardTableDao::StandardTableDao(const std::wstring& datasetId, const std::wstring& kindTypeName,
                                   utility::EGetDBPathMethod method)
    : m_tableName(kindTypeName.substr(6)) {
    m_dbPath = linuxhost::DbFolder(method) + DataSync::TelemetryFileName(datasetId, m_tableName);
    utility::InitLog(m_log, L"StandardTable.log", 4);
}

StandardTableDao::StandardTableDao(const DataSync::TableRef& table)
    : StandardTableDao(table.datasetId, table.typeName, table.method) {
    if (!table.file.empty()) m_dbPath = linuxhost::DbFolder(table.method) + table.file;
}

DatabasePtr StandardTableDao::Open(bool create, bool reader) {
    try {
        DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(m_dbPath, create, reader);
        if (!db) {
            m_log.e(L"StandardTableDao: Construct GetDatabase datasetid = %s,tablename =%s", m_dbPath, m_tableName);
            return nullptr;
        }
        // Once per shared handle (again after a failure): the table exists from then on.
        const std::string table = String::UTF16ToUTF8(m_tableName);
        if (!db->IsPrepared(table) &&
            db->CreateTable(table, "Create table " + table +
                                       "(id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT "
                                       "NOT NULL,logtime date)"))
            db->MarkPrepared(table);
        return db;
    } catch (...) {
        m_log.e(L"StandardTableDao: Exception Construct GetDatabase datasetid = %s,tablename =%s", m_dbPath,
                m_tableName);
        return nullptr;
    }
}

template <typename T>
std::int64_t StandardTableDao::GetList(std::list<T>& records, const std::string& select) {
    return ReadRows(records, RowQuery{select, {}}, Decoder::DeSerialize).lastId;
}

template <typename T>
std::int64_t StandardTableDao::GetListForSync(std::list<T>& records, const std::string& select) {
    return ReadRows(records, RowQuery{select, {}}, Decoder::DeSerializeForSync).lastId;
}

template <typename T>
TableRead StandardTableDao::GetRange(std::list<T>& records, std::int64_t firstId, std::int64_t endId,
                                        bool forSync) {
    const RowQuery select{"select id,data from " + String::UTF16ToUTF8(m_tableName) +
                              " where id>=? and id<? order by id asc",
                          {firstId, endId}};
    return ReadRows(records, select, forSync ? Decoder::DeSerializeForSync : Decoder::DeSerialize);
}

template <typename T>
TableRead StandardTableDao::ReadRows(std::list<T>& records, const RowQuery& select, Decoder decoder) {
    const bool forSync = decoder == Decoder::DeSerializeForSync;
    const wchar_t* function = FunctionName(forSync);
    const TableRead failed{ReadStatus::Failed, -1};
    try {
        DatabasePtr db = Open(false, true);
        // A file that is not there holds no rows; one that is there and cannot be opened fails.
        if (!db) return FileSystem::fileExists(m_dbPath) ? failed : TableRead{ReadStatus::NoRows, -1};
        CppSQLite3Statement statement = db->compileStatement(select.sql);
        for (std::size_t n = 0; n < select.parameters.size(); ++n)
            statement.bind(static_cast<int>(n + 1), select.parameters[n]);
        CppSQLite3Query query = statement.execQuery();
        std::int64_t lastId = -1;
        for (; !query.eof(); query.nextRow()) {
            T record;
            lastId = query.getInt64Field(0, 0);
            const char* data = query.fieldValue(1);
            if (data == nullptr) m_log.e(L"%s JsonStr is null.", function);
            if (!Decode(std::string(data ? data : ""), &record)) {
                m_log.e(L"%s: cannot decode data of row id = %lld in %s, row skipped", function, lastId, m_dbPath);
                continue;
            }
            record.set_row_id(lastId);
            records.push_back(std::move(record));
        }
        return lastId < 0 ? TableRead{ReadStatus::NoRows, -1} : TableRead{ReadStatus::Rows, lastId};
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"%s failed: %s", function, String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"%s failed.", function);
    }
    return failed;
}

std::int64_t StandardTableDao::FirstIdAtOrAfter(std::int64_t id) {
    try {
        DatabasePtr db = Open(false, true);
        if (!db) return -1;
        CppSQLite3Statement select =
            db->compileStatement("SELECT MIN(id) FROM " + String::UTF16ToUTF8(m_tableName) + " WHERE id>=?");
        select.bind(1, static_cast<long long>(id));
        CppSQLite3Query query = select.execQuery();
        return query.eof() ? 0 : query.getInt64Field(0, 0);
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"StandardTableDao::FirstIdAtOrAfter failed: %s", String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"StandardTableDao::FirstIdAtOrAfter failed.");
    }
    return -1;
}

std::int64_t StandardTableDao::LargestIdEverUsed() {
    try {
        DatabasePtr db = Open(false, true);
        if (!db) return -1;
        if (!db->tableExists("sqlite_sequence")) return 0;
        CppSQLite3Statement select = db->compileStatement("SELECT seq FROM sqlite_sequence WHERE name=?");
        select.bind(1, String::UTF16ToUTF8(m_tableName));
        CppSQLite3Query query = select.execQuery();
        return query.eof() ? 0 : query.getInt64Field(0, 0);
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"StandardTableDao::LargestIdEverUsed failed: %s", String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"StandardTableDao::LargestIdEverUsed failed.");
    }
    return -1;
}

bool StandardTableDao::DuplicateLastExact() {
    const std::string table = String::UTF16ToUTF8(m_tableName);
    try {
        DatabasePtr db = Open(true, false);
        if (!db) return false;
        CppSQLite3Statement count = db->compileStatement("SELECT COUNT(*) FROM " + table);
        CppSQLite3Query counted = count.execQuery();
        if (counted.eof() || counted.getInt64Field(0, 0) == 0) {
            m_log.w(L"StandardTableDao: DuplicateLastExact skipped, no rows in table = %s", m_tableName);
            return false;
        }
        counted.finalize();
        CppSQLite3Statement insert = db->compileStatement("INSERT INTO " + table +
                                                          "(log_index, data, logtime) SELECT log_index, data, "
                                                          "logtime FROM " +
                                                          table + " ORDER BY id DESC LIMIT 1");
        if (insert.execDML() == 0) {
            m_log.e(L"StandardTableDao: DuplicateLastExact execDML failed, tablename = %s", m_tableName);
            return false;
        }
        m_log.d(L"StandardTableDao: DuplicateLastExact success, tablename = %s", m_tableName);
        return true;
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"StandardTableDao::DuplicateLastExact failed: %s", String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"StandardTableDao::DuplicateLastExact unknown failure.");
    }
    return false;
}

std::int64_t StandardTableDao::DeleteDatedRows(const std::chrono::system_clock::time_point& cutoff,
                                               CutoffBound bound, const std::function<bool()>& stop) {
    const std::string table = String::UTF16ToUTF8(m_tableName);
    if (QueryBuilderUtility::BuildDeleteQueryForCutoff(table, cutoff).empty() ||
        cutoff.time_since_epoch().count() == 0) {
        m_log.w(L"StandardTableDao::DeleteDatedRows: no delete statement for tablename = %s, cutoff %d",
                m_tableName, static_cast<long long>(cutoff.time_since_epoch().count()));
        return -1;
    }
    DatabasePtr db = Open(true, false);
    if (!db) return -1;
    const std::int64_t count = DeleteRowsByCutoff(*db, table, cutoff, bound == CutoffBound::UpToItsSecond, stop);
    if (count < 0) m_log.e(L"StandardTableDao::DeleteDatedRows failed: tablename = %s path = %s", m_tableName, m_dbPath);
    return count;
}

std::int64_t StandardTableDao::DeleteAllRows() {
    DatabasePtr db = Open(false, false);
    if (!db) return -1;
    try {
        return db->execDML("DELETE FROM " + String::UTF16ToUTF8(m_tableName));
    } catch (const std::exception& ex) {
        m_log.e(L"StandardTableDao::DeleteAllRows failed for %s: %s", m_dbPath, String::UTF8ToUTF16(ex.what()));
    }
    return -1;
}

std::string StandardTableDao::NewestLogtime() {
    try {
        DatabasePtr db = Open(false, true);
        if (!db) return std::string();
        CppSQLite3Query query =
            db->execQuery("SELECT logtime FROM " + String::UTF16ToUTF8(m_tableName) + " ORDER BY id DESC LIMIT 1");
        const char* logtime = query.eof() ? nullptr : query.fieldValue(0);
        return logtime != nullptr ? logtime : std::string();
    } catch (const std::exception& ex) {
        m_log.e(L"StandardTableDao::NewestLogtime failed for %s: %s", m_dbPath, String::UTF8ToUTF16(ex.what()));
    }
    return std::string();
}

std::optional<DataSync::UploadRestart> StandardTableDao::FindUploadRestart(
    const std::chrono::system_clock::time_point& cutoff) {
    const std::string table = String::UTF16ToUTF8(m_tableName);
    const std::string upToCutoff = QueryBuilderUtility::BuildCutoffCondition(cutoff, true);
    if (upToCutoff.empty()) return std::nullopt;
    try {
        DatabasePtr db = Open(false, false);
        if (!db) return std::nullopt;
        // A row of the logtime's shape that the cutoff's condition does not take is dated after it.
        const std::string datedAfter = QueryBuilderUtility::LogtimeHasTheForm() + " AND NOT (" + upToCutoff + ")";
        CppSQLite3Query bounds =
            db->execQuery("SELECT (SELECT MIN(id) FROM " + table + " WHERE " + datedAfter + "), MAX(id) FROM " + table);
        if (bounds.eof() || bounds.fieldIsNull(1)) return std::nullopt;
        DataSync::UploadRestart restart;
        restart.firstId = bounds.fieldIsNull(0) ? bounds.getInt64Field(1, 0) + 1 : bounds.getInt64Field(0, 0);
        bounds.finalize();
        CppSQLite3Statement below = db->compileStatement("SELECT COUNT(*) FROM " + table + " WHERE id < ?");
        below.bind(1, static_cast<long long>(restart.firstId));
        CppSQLite3Query count = below.execQuery();
        restart.heldRows = count.eof() ? 0 : count.getInt64Field(0, 0);
        return restart;
    } catch (const std::exception& ex) {
        m_log.e(L"StandardTableDao::FindUploadRestart failed for %s: %s", m_dbPath, String::UTF8ToUTF16(ex.what()));
    }
    return std::nullopt;
}

std::int64_t DeleteRowsByCutoff(Database& db, const std::string& table,
                                const std::chrono::system_clock::time_point& cutoff, bool inclusive,
                                const std::function<bool()>& stop) {
    // A window of ids small enough for one step to take a few milliseconds on a slow device.
    constexpr std::int64_t kWindow = 2000;
    const std::string condition = QueryBuilderUtility::BuildCutoffCondition(cutoff, inclusive);
    if (condition.empty()) return -1;
    try {
        CppSQLite3Query bounds = db.execQuery("SELECT MIN(id), MAX(id) FROM " + table);
        if (bounds.eof() || bounds.fieldIsNull(0)) return 0;
        const std::int64_t first = bounds.getInt64Field(0, 0);
        const std::int64_t last = bounds.getInt64Field(1, 0);
        bounds.finalize();
        CppSQLite3Statement step =
            db.compileStatement("DELETE FROM " + table + " WHERE id >= ? AND id < ? AND " + condition);
        std::int64_t deleted = 0;
        for (std::int64_t from = first; from <= last && !(stop && stop()); from += kWindow) {
            step.bind(1, static_cast<long long>(from));
            step.bind(2, static_cast<long long>(from + kWindow));
            deleted += step.execDML();
        }
        return deleted;
    } catch (const std::exception&) {
        return -1;
    }
}

// The record kinds each reader supports.
template std::int64_t StandardTableDao::GetList(std::list<DatasetContext>&, const std::string&);
template std::int64_t StandardTableDao::GetList(std::list<DeviceContext>&, const std::string&);
template std::int64_t StandardTableDao::GetList(std::list<ItemEvent>&, const std::string&);
template std::int64_t StandardTableDao::GetListForSync(std::list<DatasetContext>&, const std::string&);
template std::int64_t StandardTableDao::GetListForSync(std::list<DeviceContext>&, const std::string&);
template std::int64_t StandardTableDao::GetListForSync(std::list<ItemEvent>&, const std::string&);
template std::int64_t StandardTableDao::GetListForSync(std::list<ItemContext>&, const std::string&);
template TableRead StandardTableDao::GetRange(std::list<DatasetContext>&, std::int64_t, std::int64_t, bool);
template TableRead StandardTableDao::GetRange(std::list<DeviceContext>&, std::int64_t, std::int64_t, bool);
template TableRead StandardTableDao::GetRange(std::list<ItemEvent>&, std::int64_t, std::int64_t, bool);
template TableRead StandardTableDao::GetRange(std::list<ItemContext>&, std::int64_t, std::int64_t, bool);


}  // namespace linuxhost
}  // namespace ZEL
