// The upload road's steps, in the order a batch takes them. The templates are instantiated at the
// end for the record kinds each family sends.
#include "datasync/upload/BatchPipeline.h"

#include <unistd.h>

#include <optional>
#include <type_traits>

#include "datasync/common/WellKnownIds.h"
#include "datasync/config/ConfigPolicyHelper.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Folders.h"
#include "datasync/upload/AgentLog.h"
#include "datasync/upload/BatchBookmark.h"
#include "datasync/upload/CustomDataFilter.h"

namespace ZEL {
namespace DataSync {
namespace upload {
namespace {

const wchar_t* const kSaveFailed = L"%s: Save SyncPoint: dataset_id - %s";
const wchar_t* const kPostDeviceContext = L"ZEL::DataSync::NavpSyncAgent::PostDeviceContext";

// Where to read again after the read at the bookmark found nothing, or 0 when every row has been
// sent. The rows before the bookmark may have been deleted (restart at the first row), rows after
// a gap may wait further on (restart at the first row at or after the bookmark), or the table may
// have been created again with every id below the bookmark (restart at its first row).
std::int64_t FindRecoveryStart(Log& log, TelemetryTables& tables, const TableRef& table, const wchar_t* fn,
                               bool logQueries, std::int64_t syncId, std::int64_t startId) {
    const int method = static_cast<int>(table.method);
    if (logQueries)
        log.i(L"%s: recovery GetFirstID navp_db_method=%d dataset_id=%s", fn, method, table.datasetId);
    const std::int64_t firstId = tables.FirstId(table);
    log.i(L"%s:Got recovery firstId for guid(%s) firstid = %lld, syncId=%lld startid=%lld endid=%lld", fn,
          table.datasetId, firstId, syncId, startId, startId);
    // The rows before the bookmark were deleted: go on with the oldest row left.
    if (firstId >= 1 && firstId >= syncId) return firstId;

    log.i(
        L"%s: firstId for guid(%s) firstid = %lld is less than syncId=%lld, Data was already synced  "
        L"(startid=%lld endid=%lld)",
        fn, table.datasetId, firstId, syncId, startId, startId);
    if (logQueries)
        log.i(L"%s: recovery GetLastID navp_db_method=%d dataset_id=%s", fn, method, table.datasetId);
    const std::int64_t lastId = tables.LastId(table);
    log.i(L"%s:Got recovery lastId for guid(%s) lastid = %lld, syncId=%lld startid=%lld endid=%lld", fn,
          table.datasetId, lastId, syncId, startId, startId);
    if (lastId < 1 || syncId == lastId + 1) return 0;  // every row has been sent

    // Rows wait after a gap wider than one batch: the first of them is next.
    if (lastId >= syncId) {
        const std::int64_t next = tables.FirstIdAtOrAfter(table, syncId);
        return next > 0 ? next : 0;
    }
    // Every id lies below the bookmark. The table remembers the largest id it ever used: one at or
    // past the last row sent means the newest rows were deleted and everything left was sent; a
    // smaller one means the table (or its file) was created again, and all of it is new.
    const std::int64_t largest = tables.LargestIdEverUsed(table);
    if (largest >= syncId - 1) {
        log.i(L"%s: rows up to %lld of guid(%s) were deleted after they were sent, nothing to resend", fn,
              largest, table.datasetId);
        return 0;
    }
    return firstId >= 1 ? firstId : 0;
}

template <typename T>
struct Batch {
    std::list<T> records;
    std::int64_t startid = 1;  // where the read began
    std::int64_t endid = 0;    // the id of the last row read
};

// Reads the batch after the bookmark `syncId`, with the recovery after an empty read. An outcome
// when there is nothing to send or the table cannot be read.
template <typename Rules, typename T>
std::optional<UploadOutcome> ReadBatch(const Rules& rules, TelemetryTables& tables, const TableRef& table,
                                       std::int64_t syncId, Log& log, Batch<T>& batch) {
    const wchar_t* const fn = rules.function;
    batch.startid = syncId == 0 ? 1 : syncId;
    // Only the newest row of some datasets matters.
    if (rules.startsAtNewestRow && table.datasetId == kDeviceStatusDatasetId) {
        const std::int64_t lastId = tables.LastId(table);
        log.i(L"%s:Got lastId for guid(%s) lastid = %lld, syncId=%lld startid=%lld endid=%lld", fn,
              table.datasetId, lastId, syncId, batch.startid, batch.startid);
        if (lastId >= 2 && lastId > syncId) batch.startid = lastId;
    }
    const int size = table.datasetId.empty() ? 1 : 10;  // the device context goes one row at a time
    TableRead read = tables.Read(table, batch.startid, size, batch.records);
    if (read.status == ReadStatus::NoRows) {
        log.i(L"%s: GetEvents no data startid = %lld,type= %s,dataset_id = %s", fn, batch.startid,
              table.typeName, table.datasetId);
        const std::int64_t restart =
            FindRecoveryStart(log, tables, table, fn, rules.logsIdQueries, syncId, batch.startid);
        if (restart == 0) return UploadOutcome::Of(UploadResult::NothingToSend);
        batch.startid = restart;
        log.i(L"%s:Got recovery db record for guid(%s) firstid = %lld, syncId=%lld startid=%lld endid=%lld",
              fn, table.datasetId, restart, syncId, restart, restart);
        batch.records.clear();
        read = tables.Read(table, restart, size, batch.records);
        if (read.status == ReadStatus::NoRows) {
            log.i(L"%s: GetEvents no data even after recovery startid = %lld,type= %s,dataset_id = %s", fn,
                  restart, table.typeName, table.datasetId);
            return UploadOutcome::Of(UploadResult::NothingToSend);
        }
    }
    if (read.status == ReadStatus::Failed) {
        log.e(L"%s: rows of dataset_id %s (%s) cannot be read from id %lld; the batch waits", fn,
              table.datasetId, table.typeName, batch.startid);
        return UploadOutcome::Of(UploadResult::ReadFailed);
    }
    batch.endid = read.lastId;
    return std::nullopt;
}

template <typename T>
constexpr bool kIsItemEvent = std::is_same<T, ItemEvent>::value;

// The pass of an upload that nothing blocks.
UploadPass FreePass() {
    static const UploadPass free = std::make_shared<char>(0);
    return free;
}

UploadPass BeginOneUpload(const UploadServices& services) {
    return services.beginUpload ? services.beginUpload() : FreePass();
}

}  // namespace

UploadServices HostUploadServices(const Stores& stores, UnsavedBookmarks& unsaved, BeginUpload beginUpload) {
    UploadServices services;
    services.tables = stores.tables;
    services.bookmarks = stores.bookmarks;
    services.unsaved = &unsaved;
    services.beginUpload = std::move(beginUpload);
    services.includeEvents = [](const std::wstring& datasetId, std::list<std::wstring>& include) {
        return ConfigPolicyHelper().FindIncludeEventsForDataset(datasetId, include);
    };
    return services;
}

UploadServices UploaderServices::Get() {
    if (!m_given) {
        m_own = std::make_shared<UnsavedBookmarks>(*Clock::GetInstance());
        m_given = HostUploadServices(InstalledStores(), *m_own);
    }
    UploadServices services = *m_given;
    if (m_blocked)
        services.beginUpload = [blocked = m_blocked] { return blocked() ? UploadPass() : FreePass(); };
    return services;
}

template <typename Rules, typename T>
UploadOutcome UploadBatch(const Rules& rules, const UploadTarget& target, const UploadServices& services,
                          ZELCore::InvokeHttpResponse& response) {
    AgentLog log;
    const wchar_t* const fn = rules.function;
    const std::wstring typeName = T::TypeName();
    const std::wstring& datasetId = target.datasetId;
    if (services.tables == nullptr || services.bookmarks == nullptr) {
        log.e(L"%s: no telemetry table or bookmark store is installed; nothing is sent", fn);
        return UploadOutcome::Of(UploadResult::Exception);
    }
    TelemetryTables& tables = *services.tables;
    try {
        // Nothing leaves the device while a device-path purge is pending or running.
        const UploadPass pass = BeginOneUpload(services);
        if (!pass) {
            log.d(L"%s: device-path purge pending or in progress, skip sync", fn);
            return UploadOutcome::Of(UploadResult::Blocked);
        }

        // The bookmark: the id of the next row to send (0 for a new table: row 1).
        BatchBookmark bookmark(*services.bookmarks, *services.unsaved,
                               {rules.bookmarkFile, target.method, datasetId, typeName});
        if (bookmark.Held(log, fn))
            return UploadOutcome::BookmarkFault(UploadResult::BookmarkNotSaved, bookmark.Path());
        if (const auto stop = bookmark.Read(log, fn, rules.initFailedFormat)) return *stop;
        const std::int64_t syncId = bookmark.Id();

        Batch<T> batch;
        if (const auto stop =
                ReadBatch(rules, tables, {datasetId, typeName, target.method}, syncId, log, batch))
            return *stop;
        ServiceIdentity identity(log, fn);

        // Rows were read but none could be decoded: move past them rather than read them for ever.
        if (batch.records.empty()) {
            log.e(L"%s: no Events data", fn);
            return bookmark.MoveTo(batch.endid + 1, identity, log, fn, kSaveFailed,
                                   UploadOutcome::Of(UploadResult::Undecodable));
        }
        if (batch.records.front().row_id() >= 1) batch.startid = batch.records.front().row_id();
        std::int64_t endid = batch.endid;
        log.i(
            L"%s: Adjusted startid based on first fetched row id for guid(%s) firstFetchedRowId = %lld, "
            L"syncId=%lld startid=%lld endid=%lld",
            fn, datasetId, batch.records.front().row_id(), syncId, batch.startid, endid);
        if (rules.fetchedFormat != nullptr)
            log.d(rules.fetchedFormat, fn, datasetId, batch.startid, static_cast<int>(batch.records.size()));

        // Only the item events the dataset's policy includes may leave the device. A policy that
        // names no list for the dataset (it was not found, or cannot be read now) filters nothing
        // out: the batch waits for a later pass, for its rows are not to be skipped on a guess.
        if constexpr (kIsItemEvent<T>) {
            std::list<std::wstring> include;
            if (!services.includeEvents(datasetId, include)) {
                log.e(L"%s: no include list for dataset_id %s in the policy; batch kept for a later pass", fn,
                      datasetId);
                return UploadOutcome::Of(UploadResult::NoIncludeList);
            }
            CustomDataFilter::FilterEvents(batch.records, include);
        }
        const bool encryptedItems =
            rules.reportsEncryptedItems && kIsItemEvent<T> && datasetId == kDeviceLocationDatasetId;
        if (batch.records.empty()) {
            log.i(L"%s: No item events filtered to Sync, updating the syncpoint", fn);
            if (encryptedItems) tables.MarkEncryptedItemsHandled(batch.startid, endid);
            return bookmark.MoveTo(endid + 1, identity, log, fn, kSaveFailed,
                                   UploadOutcome::Of(UploadResult::AllFiltered));
        }

        // The body ends where the family's encoder stopped (the device-context cut).
        const EncodedBatch encoded = rules.Encode(batch.records, tables, log);
        if (!encoded.Built()) return UploadOutcome::Of(encoded.failure);
        if (encoded.lastIncluded >= 0) endid = encoded.lastIncluded;

        response = rules.Post(target.url, encoded.body);
        const int status = rules.StatusOf(response);
        log.i(L"%s: %d", fn, status);
        rules.Report(response, status);
        const Verdict verdict = rules.Judge(response, status);
        if (verdict == Verdict::Fail) {
            // The same batch goes again next time.
            log.e(L"%s: StatusCode = %d,id = %s,type=%s", fn, status, datasetId, typeName);
            return UploadOutcome::Of(UploadResult::Failed, status);
        }

        // Accepted, or refused for good: move past the batch.
        log.i(rules.acceptedFormat, fn, status, datasetId, typeName, batch.startid, endid,
              utility::GetDBPath(utility::DB_PATH_DEFAULT), static_cast<unsigned>(::getpid()),
              ThreadIdForLog());
        const UploadOutcome done = UploadOutcome::Of(
            verdict == Verdict::Accept ? UploadResult::Posted : UploadResult::Dropped, status);
        const UploadOutcome moved = bookmark.MoveTo(endid + 1, identity, log, fn, kSaveFailed, done);
        if (encryptedItems) tables.MarkEncryptedItemsHandled(endid - encoded.sent, endid);
        return moved;
    } catch (...) {
        log.e(L"%s: exception id = %s,type=%s", fn, datasetId, typeName);
        return UploadOutcome::Of(UploadResult::Exception);
    }
}

UploadOutcome UploadChosenRow(const NavpRules& rules, std::int64_t recordId, const std::wstring& url,
                              const UploadServices& services) {
    AgentLog log;
    const wchar_t* const fn = kPostDeviceContext;
    const std::wstring typeName = DeviceContext::TypeName();
    try {
        const UploadPass pass = BeginOneUpload(services);
        if (!pass) {
            log.i(L"%s: device-path purge pending or in progress, skip device context post", fn);
            return UploadOutcome::Of(UploadResult::Blocked);
        }
        BatchBookmark bookmark(*services.bookmarks, *services.unsaved,
                               {rules.bookmarkFile, utility::DB_PATH_DEFAULT, L"", typeName});
        if (bookmark.Held(log, fn))
            return UploadOutcome::BookmarkFault(UploadResult::BookmarkNotSaved, bookmark.Path());

        // Exactly the chosen row.
        std::list<DeviceContext> records;
        const TableRead read =
            services.tables->Read({L"", typeName, utility::DB_PATH_DEFAULT}, recordId, 1, records);
        if (read.status == ReadStatus::Failed) {
            log.e(L"%s: device context row %lld cannot be read; it waits", fn, recordId);
            return UploadOutcome::Of(UploadResult::ReadFailed);
        }
        if (read.status == ReadStatus::NoRows) {
            log.i(L"%s: GetEvents no data recordId = %lld,type= %s,dataset_id = %s", fn, recordId, typeName,
                  L"");
            return UploadOutcome::Of(UploadResult::NothingToSend);
        }
        ServiceIdentity identity(log, fn);
        if (records.empty()) {
            log.e(L"%s: no Events data", fn);
            return UploadOutcome::Of(UploadResult::Undecodable);
        }
        NavpRules chosen = rules;
        chosen.function = fn;
        const EncodedBatch encoded = chosen.Encode(records, *services.tables, log);
        if (!encoded.Built()) return UploadOutcome::Of(encoded.failure);
        if (url.empty()) {
            log.e(L"%s: NavpSyncEndpoint is empty or invalid, skipping HTTP call", fn);
            return UploadOutcome::Of(UploadResult::Failed);
        }
        ZELCore::InvokeHttpResponse response = chosen.Post(url, encoded.body);
        const int status = chosen.StatusOf(response);
        if (chosen.Judge(response, status) != Verdict::Accept) {
            log.e(L"%s: StatusCode = %d,id = %s", fn, status, L"");
            return UploadOutcome::Of(UploadResult::Failed, status);
        }
        log.i(L"%s: StatusCode = %d,id = %s, recordId=%lld,path=%s,pid=0x%x,tid=0x%x", fn, status, L"",
              recordId, utility::GetDBPath(utility::DB_PATH_DEFAULT), static_cast<unsigned>(::getpid()),
              ThreadIdForLog());

        // The bookmark never moves backwards: a newer device context may have been sent already.
        const UploadOutcome done = UploadOutcome::Of(UploadResult::Posted, status);
        if (const auto stop = bookmark.Read(log, fn, nullptr))
            return UploadOutcome::BookmarkFault(stop->result, stop->file, status);
        if (bookmark.Exists() && bookmark.Id() > recordId) return done;
        return bookmark.MoveTo(recordId + 1, identity, log, fn, L"%s: Save SyncPoint failed%s", done);
    } catch (...) {
        log.e(L"%s: exception id = %s", fn, L"");
        return UploadOutcome::Of(UploadResult::Exception);
    }
}

// The record kinds each family sends.
template UploadOutcome UploadBatch<KtaNavsRules, ItemEvent>(const KtaNavsRules&, const UploadTarget&,
                                                            const UploadServices&,
                                                            ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<KtaNavsRules, DatasetContext>(const KtaNavsRules&, const UploadTarget&,
                                                                 const UploadServices&,
                                                                 ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<KtaNavsRules, ItemContext>(const KtaNavsRules&, const UploadTarget&,
                                                              const UploadServices&,
                                                              ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<KtaNavsRules, DeviceContext>(const KtaNavsRules&, const UploadTarget&,
                                                                const UploadServices&,
                                                                ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<NavpRules, ItemEvent>(const NavpRules&, const UploadTarget&,
                                                         const UploadServices&, ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<NavpRules, DatasetContext>(const NavpRules&, const UploadTarget&,
                                                              const UploadServices&,
                                                              ZELCore::InvokeHttpResponse&);
template UploadOutcome UploadBatch<NavpRules, DeviceContext>(const NavpRules&, const UploadTarget&,
                                                             const UploadServices&,
                                                             ZELCore::InvokeHttpResponse&);

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
