// TelemetryTables: what the upload road asks of the telemetry tables, and nothing else: a range
// of rows by id, the id bounds the bookmark recovery needs, the newest device context, and the
// data-store service's note that encrypted item rows were handled. SqliteTelemetryTables answers
// from the tables themselves (StandardTableDao and the host's data-store service); tests wrap it
// to make a read fail.
//
// A table is named by its dataset id (empty for the device context), its record kind's type name
// ("class ItemEvent") and the root of its file (EGetDBPathMethod).
//
// Thread safety: every operation may be called from any thread at once; nothing is cached here.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/store/Records.h"

namespace ZEL {
namespace DataSync {

struct TableRef {
    std::wstring datasetId;
    std::wstring typeName;  // "class ItemEvent"
    utility::EGetDBPathMethod method;
};

// How a read of rows went: rows were selected (some may not have decoded), none were, or the
// table could not be read (the rows read before the failure are not to be used).
enum class ReadStatus { Rows, NoRows, Failed };
struct TableRead {
    ReadStatus status = ReadStatus::NoRows;
    std::int64_t lastId = -1;  // the id of the last row selected, decodable or not (Rows only)
};

class TelemetryTables {
public:
    virtual ~TelemetryTables() = default;

    // Appends the decodable rows with ids in [from, from + count), in id order, their row ids set.
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<ItemEvent>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<DatasetContext>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<ItemContext>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<DeviceContext>& rows) = 0;

    // The smallest / largest row id: 0 for an empty table, -1 when it cannot be read.
    virtual std::int64_t FirstId(const TableRef& table) = 0;
    virtual std::int64_t LastId(const TableRef& table) = 0;
    // The smallest row id at or after `id`: 0 when there is none, -1 when the read failed.
    virtual std::int64_t FirstIdAtOrAfter(const TableRef& table, std::int64_t id) = 0;
    // The largest id the table ever used (deleted rows included): 0 when it never had a row, -1
    // when the read failed.
    virtual std::int64_t LargestIdEverUsed(const TableRef& table) = 0;

    // The newest device context of the service folder; false when there is none.
    virtual bool NewestDeviceContext(DeviceContext& context) = 0;
    // Tells the data-store service that the encrypted item rows [firstId, lastId] were handled.
    virtual void MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) = 0;
};

class SqliteTelemetryTables : public TelemetryTables {
public:
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
    bool NewestDeviceContext(DeviceContext& context) override;
    void MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) override;
};

}  // namespace DataSync
}  // namespace ZEL
