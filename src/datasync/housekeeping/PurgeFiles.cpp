// The purge's file-level steps.
#include "datasync/housekeeping/PurgeFiles.h"

#include <filesystem>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "datasync/host/DataStore.h"
#include "datasync/housekeeping/CutoffStatement.h"
#include "datasync/store/StandardTableDao.h"

namespace ZEL {
namespace {

std::string Trimmed(const std::wstring& kind) {
    std::string table = String::UTF16ToUTF8(kind);
    const std::size_t first = table.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return table.substr(first, table.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool IsExistingRegularFile(const std::wstring& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(String::UTF16ToUTF8(path), error);
}

void CloseCachedDbAtPath(const std::wstring& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(String::UTF16ToUTF8(path), error);
    DatabaseManager::GetInstance()->CloseCachedDatabaseAtPath(
        error ? path : String::UTF8ToUTF16(absolute.lexically_normal().string()));
}

void CheckpointAndCloseCachedDb(const std::wstring& path, const std::wstring& label, Log& log) {
    if (IsExistingRegularFile(path)) {
        if (DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(path, false, false)) {
            try {
                db->execQuery("PRAGMA wal_checkpoint(TRUNCATE)").finalize();
            } catch (const std::exception& ex) {
                log.w(L"%s: checkpoint failed for %s: %s", L"ZEL::CheckpointAndCloseCachedDb", path,
                      String::UTF8ToUTF16(ex.what()));
            }
        }
    }
    CloseCachedDbAtPath(path);
    log.d(L"%s: checkpointed the WAL of %s and closed it (%s)", L"ZEL::CheckpointAndCloseCachedDb", path, label);
}

std::string BuildLogtimeCutoffDeleteSql(const std::wstring& kind, const std::chrono::system_clock::time_point& cutoff) {
    const std::string table = Trimmed(kind);
    if (table.empty() || cutoff.time_since_epoch().count() == 0) return std::string();
    const std::string condition = QueryBuilderUtility::BuildCutoffCondition(cutoff, true);
    return condition.empty() ? std::string() : "DELETE FROM " + table + " WHERE " + condition;
}

std::int64_t ExecSqlOnDbFile(const std::wstring& path, const std::wstring& kind,
                             const std::chrono::system_clock::time_point& cutoff) {
    if (BuildLogtimeCutoffDeleteSql(kind, cutoff).empty()) return -1;
    DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(path, true, false);
    if (!db) return -1;
    return DataSync::DeleteRowsByCutoff(*db, Trimmed(kind), cutoff, true);
}

std::optional<UploadRestart> FindUploadRestart(const std::wstring& path, const std::wstring& kind,
                                               const std::chrono::system_clock::time_point& cutoff) {
    const std::string table = Trimmed(kind);
    const std::string upToCutoff = QueryBuilderUtility::BuildCutoffCondition(cutoff, true);
    if (table.empty() || upToCutoff.empty()) return std::nullopt;
    DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(path, false, false);
    if (!db) return std::nullopt;
    // A row of the logtime's shape that the cutoff's condition does not take is dated after it.
    const std::string datedAfter = QueryBuilderUtility::LogtimeHasTheForm() + " AND NOT (" + upToCutoff + ")";
    try {
        CppSQLite3Query bounds =
            db->execQuery("SELECT (SELECT MIN(id) FROM " + table + " WHERE " + datedAfter + "), MAX(id) FROM " + table);
        if (bounds.eof() || bounds.fieldIsNull(1)) return std::nullopt;
        UploadRestart restart;
        restart.firstId = bounds.fieldIsNull(0) ? bounds.getInt64Field(1, 0) + 1 : bounds.getInt64Field(0, 0);
        bounds.finalize();
        CppSQLite3Statement below = db->compileStatement("SELECT COUNT(*) FROM " + table + " WHERE id < ?");
        below.bind(1, static_cast<long long>(restart.firstId));
        CppSQLite3Query count = below.execQuery();
        restart.heldRows = count.eof() ? 0 : count.getInt64Field(0, 0);
        return restart;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace ZEL
