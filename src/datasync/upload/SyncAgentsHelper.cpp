// The KTA/NAVS batch upload of one record kind: bookmark, batch read (with recovery after
// deleted or recreated rows), filter, body, post, answer, bookmark.
#include "datasync/upload/SyncAgentsHelper.h"

#include <unistd.h>

#include <exception>
#include <list>
#include <map>
#include <type_traits>

#include "datasync/config/ConfigPolicyHelper.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/StringUtil.h"
#include "datasync/store/StandardTableDao.h"
#include "datasync/upload/CustomDataFilter.h"
#include "datasync/upload/JsonFormater.h"
#include "datasync/upload/UploadSteps.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kDoPost = L"ZEL::DataSync::SyncAgentsHelper::doPost";
constexpr int kSyncFailureEvent = 1017;

// Answers that will never change for this batch: it is dropped and the bookmark moves on.
bool IsPermanentFailure(int status) {
    return status == 400 || status == 401 || status == 403 || status == 404;
}

// The answer's status: the HTTP status, or the transport's result code when no answer came (a
// refused connection, a time-out, a TLS failure), so that such a post is never taken for a
// success. An unresolved host name reads as 12007.
int StatusOf(const ZELCore::InvokeHttpResponse& response) {
    if (response.response.statusCode != 0) return response.response.statusCode;
    if (response.resultCode == ZELCore::TransportResult::HOST_NOT_RESOLVED)
        return ZELCore::TransportResult::NAME_NOT_RESOLVED;
    if (response.resultCode != ZELCore::TransportResult::OK) return response.resultCode;
    return ZELCore::TransportResult::OTHER_FAILURE;  // completed, yet no status: not a success either
}

}  // namespace

SyncAgentsHelper::SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType,
                                   std::wstring endpointName, std::wstring syncPointFile,
                                   ZELCore::HttpAuthType authType, bool transportFlag,
                                   utility::EGetDBPathMethod method)
    : m_datasetId(std::move(datasetId)),
      m_baseUrl(std::move(baseUrl)),
      m_syncPointFile(std::move(syncPointFile)),
      m_syncType(syncType),
      m_method(method),
      m_authType(authType),
      m_transportFlag(transportFlag),
      m_endpointName(std::move(endpointName)) {}

SyncAgentsHelper::SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType,
                                   std::wstring endpointName, utility::EGetDBPathMethod method)
    : SyncAgentsHelper(std::move(datasetId), std::move(baseUrl), syncType, std::move(endpointName),
                       kDefaultSyncPointFile, ZELCore::HTTP_AUTH_MTLS, false, method) {}

int SyncAgentsHelper::doPost(ZELCore::InvokeHttpResponse& response) {
    switch (m_syncType) {
        case SYNC_ITEM_EVENT: return doPost<ItemEvent>(upload::JoinUrl(m_baseUrl, L"events-data"), response);
        case SYNC_DATASET_CONTEXT: return doPost<ZEL::DatasetContext>(upload::JoinUrl(m_baseUrl, L"dataset-context"), response);
        case SYNC_ITEM_CONTEXT: return doPost<ZEL::ItemContext>(upload::JoinUrl(m_baseUrl, L"item-context"), response);
        case SYNC_ALL_ITEM_KINDS:
            doPost<ItemEvent>(upload::JoinUrl(m_baseUrl, L"events-data"), response);
            doPost<ZEL::DatasetContext>(upload::JoinUrl(m_baseUrl, L"dataset-context"), response);
            return doPost<ZEL::ItemContext>(upload::JoinUrl(m_baseUrl, L"item-context"), response);
        case SYNC_DEVICE_CONTEXT: return doPost<ZEL::DeviceContext>(upload::JoinUrl(m_baseUrl, L"global-context"), response);
        default: return Posted;
    }
}

std::int64_t SyncAgentsHelper::GetFirstIdFromDB(const std::wstring& kindTypeName) const {
    return GetFirstIdFromDBWithDatasetId(kindTypeName, m_datasetId, m_method);
}

std::int64_t SyncAgentsHelper::GetLastIdFromDB(const std::wstring& kindTypeName) const {
    return GetLastIdFromDBWithDatasetId(kindTypeName, m_datasetId, m_method);
}

template <typename T>
int SyncAgentsHelper::doPost(const std::wstring& url, ZELCore::InvokeHttpResponse& response) {
    upload::AgentLog log;
    const std::wstring typeName = T::TypeName();
    try {
        // Nothing leaves the device while a device-path purge is pending or running.
        if (m_syncBlocked && m_syncBlocked()) {
            log.d(L"%s: device-path purge pending or in progress, skip sync", kDoPost);
            return NothingToSend;
        }

        // The bookmark: the id of the next row to send (0 for a new table: row 1).
        std::unique_ptr<SyncPointDao> syncPoints = SyncPointDaoForDbPath(m_method, m_syncPointFile);
        const std::int64_t syncId = upload::ReadOrInitBookmark(log, kDoPost, *syncPoints, m_datasetId, typeName,
                                                               L"%s: Saving bookmark entry with id 0 failed: dataset_id - %s");
        std::int64_t startid = syncId == 0 ? 1 : syncId;
        std::int64_t cursor = startid;

        // Only the newest row of some datasets matters.
        if (m_datasetId == kNewestRowOnlyDatasetId) {
            const std::int64_t lastId = GetLastIdFromDB(typeName);
            log.i(L"%s:Got lastId for guid(%s) lastid = %lld, syncId=%lld startid=%lld endid=%lld", kDoPost,
                  m_datasetId, lastId, syncId, startid, cursor);
            if (lastId >= 2 && lastId > syncId) cursor = startid = lastId;
        }

        // The batch, or after an empty read the recovery's restart point.
        const int batchSize = m_datasetId.empty() ? 1 : 10;
        EventDataLogging* store = EventDataLogging::GetInstance();
        std::list<T> records;
        const auto read = [&](std::int64_t& from, std::list<T>& into) {
            return GetEvents(store, m_datasetId, from, batchSize, into, m_method);
        };
        if (!upload::ReadBatchOrRecover(log, {kDoPost, m_datasetId, typeName, m_method, syncId, startid, false},
                                        startid, cursor, records, read, read))
            return NothingToSend;

        upload::ServiceIdentity service(log, kDoPost);

        // Rows were read but none could be decoded: move past them rather than read them for ever.
        if (records.empty()) {
            log.e(L"%s: no Events data", kDoPost);
            service.SaveBookmark(*syncPoints, {m_datasetId, typeName, cursor + 1}, L"%s: Save SyncPoint: dataset_id - %s");
            return NothingInBatch;
        }

        // The batch starts at its first row read and ends at the last.
        if (records.front().row_id() >= 1) startid = records.front().row_id();
        std::int64_t endid = cursor;
        const int fetched = static_cast<int>(records.size());
        log.i(L"%s: Adjusted startid based on first fetched row id for guid(%s) firstFetchedRowId = %lld, syncId=%lld "
              L"startid=%lld endid=%lld",
              kDoPost, m_datasetId, records.front().row_id(), syncId, startid, endid);
        log.e(L"%s: For dataset_id: %s startid %lld No of Events data %d", kDoPost, m_datasetId, startid, fetched);

        // Only the item events the dataset's policy includes may leave the device. A policy that
        // names no list for the dataset (it was not found, or cannot be read now) filters nothing
        // out: the batch waits for the next pass, for its rows are not to be skipped on a guess.
        if constexpr (std::is_same<T, ItemEvent>::value) {
            std::list<std::wstring> includeEvents;
            if (!ConfigPolicyHelper().FindIncludeEventsForDataset(m_datasetId, includeEvents)) {
                log.e(L"%s: no include list for dataset_id %s in the policy; batch kept for a later pass", kDoPost,
                      m_datasetId);
                return NothingToSend;
            }
            CustomDataFilter::FilterEvents(records, includeEvents);
        }

        // Nothing of the batch may be sent: move past it.
        const bool encryptedItems =
            std::is_same<T, ItemEvent>::value && m_datasetId == JsonFormater::kEncryptedItemDatasetId;
        if (records.empty()) {
            log.i(L"%s: No item events filtered to Sync, updating the syncpoint", kDoPost);
            if (encryptedItems) store->UpdateItemDataEncryted(startid, endid, 0);
            service.SaveBookmark(*syncPoints, {m_datasetId, typeName, endid + 1}, L"%s: Save SyncPoint: dataset_id - %s");
            return NothingInBatch;
        }

        // The body, under the newest device context.
        ZEL::DeviceContext deviceContext;
        if (store->GetLastDeviceContext(&deviceContext, 1) != 0) {
            log.e(L"%s: GetLastDeviceContext no data", kDoPost);
            return NoDeviceContext;
        }
        std::wstring body;
        std::int64_t lastIncludedId = -1;
        const int sent = JsonFormater::JsonSerializer(records, deviceContext.device_info().device_id(),
                                                      deviceContext.device_context_id(), body, &lastIncludedId);
        if (body.empty() || sent < 1) {
            log.e(L"%s: JsonSerializervents error", kDoPost);
            return NoBody;
        }
        endid = lastIncludedId >= 0 ? lastIncludedId : startid - 1 + fetched;

        // Post.
        const std::map<std::string, std::string> headers{{"Content-Type", "application/json"}};
        int method = ZELCore::HTTP_METHOD_POST;
        CoreUtility* transport = CoreUtility::GetInstance();
        if (transport == nullptr) {
            log.e(L"%s: no transport installed, id = %s,type=%s", kDoPost, m_datasetId, typeName);
            return Failed;
        }
        response = transport->InvokeHttp(String::UTF16ToUTF8(url), headers, method,
                                                          String::UTF16ToUTF8(body), m_authType, m_transportFlag, "");
        const int status = StatusOf(response);
        log.i(L"%s: %d", kDoPost, status);

        // Report the answer.
        if (m_endpointName == L"KTA") SaveResponseForDeviceSupport(response.response);
        if (upload::IsSuccessStatus(status))
            CriticalEventLogger::ResetError(kSyncFailureEvent, status);
        else
            CriticalEventLogger::Log(kSyncFailureEvent, status);
        const bool deviceMissing = CoreUtility::Is403WithDeviceMissingError(response);

        // Accepted, or refused for good: move past the batch.
        if (!deviceMissing && (upload::IsSuccessStatus(status) || IsPermanentFailure(status))) {
            log.i(L"%s: StatusCode = %d,id = %s,type=%s, startid=%lld,endid=%lld,path=%s,pid=%#x,tid=%#x", kDoPost,
                  status, m_datasetId, typeName, startid, endid, utility::GetDBPath(utility::DB_PATH_DEFAULT),
                  static_cast<unsigned>(::getpid()), upload::ThreadIdForLog());
            service.SaveBookmark(*syncPoints, {m_datasetId, typeName, endid + 1}, L"%s: Save SyncPoint: dataset_id - %s");
            if (encryptedItems) store->UpdateItemDataEncryted(endid - sent, endid, 0);
            return Posted;
        }

        // Failed: the same batch goes again next time.
        log.e(L"%s: StatusCode = %d,id = %s,type=%s", kDoPost, status, m_datasetId, typeName);
        return status;
    } catch (...) {
        log.e(L"%s: exception id = %s,type=%s", kDoPost, m_datasetId, typeName);
        return Failed;
    }
}

}  // namespace DataSync
}  // namespace ZEL
