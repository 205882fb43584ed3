// The telemetry tables as the upload road reads them: rows through StandardTableDao, id bounds and
// the device context through the host's data-store service.
#include "datasync/store/TelemetryTables.h"

#include "datasync/host/DataStore.h"
#include "datasync/store/StandardTableDao.h"

namespace ZEL {
namespace DataSync {
namespace {

template <typename T>
TableRead ReadRows(const TableRef& table, std::int64_t from, int count, std::list<T>& rows) {
    StandardTableDao dao(table.datasetId, table.typeName, table.method);
    return dao.GetRange(rows, from, RangeEnd(from, count), true);
}

// "ItemEvent" for "class ItemEvent": the data-store service names tables without the prefix.
std::wstring TableName(const TableRef& table) {
    return table.typeName.substr(6);
}

}  // namespace

TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                      std::list<ItemEvent>& rows) {
    return ReadRows(table, from, count, rows);
}

TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                      std::list<DatasetContext>& rows) {
    return ReadRows(table, from, count, rows);
}

TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
                                      std::list<ItemContext>& rows) {
    return ReadRows(table, from, count, rows);
}

TableRead SqliteTelemetryTables::Read(const TableRef& table, std::int64_t from, int count,
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
    return StandardTableDao(table.datasetId, table.typeName, table.method).FirstIdAtOrAfter(id);
}

std::int64_t SqliteTelemetryTables::LargestIdEverUsed(const TableRef& table) {
    return StandardTableDao(table.datasetId, table.typeName, table.method).LargestIdEverUsed();
}

bool SqliteTelemetryTables::NewestDeviceContext(DeviceContext& context) {
    return EventDataLogging::GetInstance()->GetLastDeviceContext(&context, 1) == 0;
}

void SqliteTelemetryTables::MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) {
    EventDataLogging::GetInstance()->UpdateItemDataEncryted(firstId, lastId, 0);
}

}  // namespace DataSync
}  // namespace ZEL
