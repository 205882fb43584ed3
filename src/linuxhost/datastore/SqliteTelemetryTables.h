// SqliteTelemetryTables: the telemetry tables as the host keeps them, in one SQLite file per
// (dataset id, record kind) under the roots of HostFolders, read and written through
// StandardTableDao and the data-store service (EventDataLogging) with its shared handles.
//
// Stateless: one object may serve every thread and every agent of the process.
#pragma once

#include "datasync/host/TelemetryTables.h"

namespace ZEL {
namespace linuxhost {

class SqliteTelemetryTables : public DataSync::TelemetryTables {
public:
    using TableRef = DataSync::TableRef;
    using TableRead = DataSync::TableRead;

    TableRead Read(const TableRef& table, std::int64_t from, int count, std::list<ItemEvent>& rows) override;
    TableRead Read(const TableRef& table, std::int64_t from, int count,
                   std::list<DatasetContext>& rows) override;
    TableRead Read(const TableRef& table, std::int64_t from, int count,
                   std::list<ItemContext>& rows) override;
    TableRead Read(const TableRef& table, std::int64_t from, int count,
                   std::list<DeviceContext>& rows) override;
    std::int64_t FirstId(const TableRef& table) override;
    std::int64_t LastId(const TableRef& table) override;
    std::int64_t FirstIdAtOrAfter(const TableRef& table, std::int64_t id) override;
    std::int64_t LargestIdEverUsed(const TableRef& table) override;
    std::string NewestLogtime(const TableRef& table) override;
    bool NewestDeviceContext(DeviceContext& context) override;
    void MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) override;
    bool DuplicateNewest(const TableRef& table) override;
    std::int64_t DeleteDatedRows(const TableRef& table, const std::chrono::system_clock::time_point& cutoff,
                                 DataSync::CutoffBound bound, const std::function<bool()>& stop) override;
    std::int64_t DeleteAllRows(const TableRef& table) override;
    std::optional<DataSync::UploadRestart> FindUploadRestart(
        const TableRef& table, const std::chrono::system_clock::time_point& cutoff) override;
    void Release(const TableRef& table) override;
    void ReleaseAll(utility::EGetDBPathMethod root) override;
    void CloseIdleHandles() override;
    void CheckIntegrityOnNextOpen() override;
};

// Checkpoints the WAL of the database at `path` into it (PRAGMA wal_checkpoint(TRUNCATE)), then
// drops the cache's handle of the file, so that other processes find it consistent and the next
// use opens it afresh. Never deletes a "-wal" or "-shm" file: a writer in another process may have
// the database open, and its committed rows may still be in the WAL.
void CheckpointAndRelease(const std::wstring& path);

}  // namespace linuxhost
}  // namespace ZEL
