// The telemetry tables in the host's SQLite files: rows through StandardTableDao, id bounds and
// the device context through the data-store service, file hand-over through the handle cache.
#include "linuxhost/datastore/SqliteTelemetryTables.h"

#include <filesystem>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/datastore/StandardTableDao.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {
namespace linuxhost {
namespace {

using DataSync::TableRef;

template <typename T>
DataSync::TableRead ReadRows(const TableRef& table, std::int64_t from, int count, std::list<T>& rows) {
    StandardTableDao dao(table);
    return dao.GetRange(rows, from, RangeEnd(from, count), true);
}

// "ItemEvent" for "class ItemEvent": the data-store service names tables without the prefix.
std::wstring TableName(const TableRef& table) {
    return table.typeName.substr(6);
}

bool IsRegularFile(const std::wstring& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(String::UTF16ToUTF8(path), error);
}

void DropCachedHandle(const std::wstring& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(String::UTF16ToUTF8(path), error);
    DatabaseManager::GetInstance()->CloseCachedDatabaseAtPath(
        error ? path : String::UTF8ToUTF16(absolute.lexically_normal().string()));
}

}  // namespace

void CheckpointAndRelease(const std::wstring& path) {
    if (IsRegularFile(path)) {
        if (DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(path, false, false)) {
            try {
                db->execQuery("PRAGMA wal_checkpoint(TRUNCATE)").finalize();
            } catch (const std::exception& ex) {
                // The rows stay in the WAL, where every reader finds them; the next checkpoint
                // takes them.
                HostLog().w(L"%s: checkpoint failed for %s: %s", L"ZEL::CheckpointAndRelease", path,
                            String::UTF8ToUTF16(ex.what()));
            }
        }
    }
    DropCachedHandle(path);
}

DataSync::TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                                std::list<ItemEvent>& rows) {
    return ReadRows(table, from, count, rows);
}

DataSync::TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                                std::list<DatasetContext>& rows) {
    return ReadRows(table, from, count, rows);
}

DataSync::TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                                std::list<ItemContext>& rows) {
    return ReadRows(table, from, count, rows);
}

DataSync::TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                                std::list<DeviceContext>& rows) {
    return ReadRows(table, from, count, rows);
}

std::int64_t SqliteTelemetryTables::FirstId(const TableRef& table) {
    return EventDataLogging::GetInstance()->GetFirstID(table.datasetId, TableName(table), table.method);
}

std::int64_t SqliteTelemetryTables::LastId(const TableRef& table) {
    return EventDataLogging::GetInstance()->GetLastID(table.datasetId, TableName(table), table.method);
}

std::int64_t SqliteTelemetryTables::FirstIdAtOrAfter(const TableRef& table, std::int64_t id) {
    return StandardTableDao(table).FirstIdAtOrAfter(id);
}

std::int64_t SqliteTelemetryTables::LargestIdEverUsed(const TableRef& table) {
    return StandardTableDao(table).LargestIdEverUsed();
}

std::string SqliteTelemetryTables::NewestLogtime(const TableRef& table) {
    return EventDataLogging::GetInstance()->GetLastLogtime(table.datasetId, TableName(table), table.method);
}

bool SqliteTelemetryTables::NewestDeviceContext(DeviceContext& context) {
    return EventDataLogging::GetInstance()->GetLastDeviceContext(&context, 1) == 0;
}

void SqliteTelemetryTables::MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) {
    EventDataLogging::GetInstance()->UpdateItemDataEncryted(firstId, lastId, 0);
}

bool SqliteTelemetryTables::DuplicateNewest(const TableRef& table) {
    return StandardTableDao(table).DuplicateLastExact();
}

std::int64_t SqliteTelemetryTables::DeleteDatedRows(const TableRef& table,
                                                    const std::chrono::system_clock::time_point& cutoff,
                                                    DataSync::CutoffBound bound,
                                                    const std::function<bool()>& stop) {
    return StandardTableDao(table).DeleteDatedRows(cutoff, bound, stop);
}

std::int64_t SqliteTelemetryTables::DeleteAllRows(const TableRef& table) {
    return StandardTableDao(table).DeleteAllRows();
}

std::optional<DataSync::UploadRestart> SqliteTelemetryTables::FindUploadRestart(
    const TableRef& table, const std::chrono::system_clock::time_point& cutoff) {
    return StandardTableDao(table).FindUploadRestart(cutoff);
}

void SqliteTelemetryTables::Release(const TableRef& table) {
    CheckpointAndRelease(StandardTableDao(table).DbPath());
}

void SqliteTelemetryTables::ReleaseAll(utility::EGetDBPathMethod root) {
    const std::wstring folder = linuxhost::DbFolder(root);
    if (!folder.empty()) DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(folder);
}

void SqliteTelemetryTables::CloseIdleHandles() {
    DatabaseManager::GetInstance()->CloseHandlesUnusedSinceLastCall();
}

void SqliteTelemetryTables::CheckIntegrityOnNextOpen() {
    if (EventDataLogging* store = EventDataLogging::GetInstance()) store->mark_integrity_check_all();
}

}  // namespace linuxhost
}  // namespace ZEL
