// The NAVP upload of one record kind, the single device-context post, and the NAVP bookmark
// questions.
#include "datasync/upload/NavpSyncAgent.h"

#include <unistd.h>

#include <exception>
#include <list>
#include <map>
#include <type_traits>

#include "datasync/config/ConfigPolicyHelper.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/StringUtil.h"
#include "datasync/host/Transport.h"
#include "datasync/store/StandardTableDao.h"
#include "datasync/upload/CustomDataFilter.h"
#include "datasync/upload/NavpBody.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadSteps.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kDoPost = L"ZEL::DataSync::NavpSyncAgent::doPost";
const wchar_t* const kPostDeviceContext = L"ZEL::DataSync::NavpSyncAgent::PostDeviceContext";

// NAVP takes the body as form text, with no headers of its own and no client certificate. 0 (no
// answer) when the host has no transport.
int PostToNavp(const std::wstring& url, const std::wstring& body) {
    int method = ZELCore::HTTP_METHOD_POST;
    CoreUtility* transport = CoreUtility::GetInstance();
    if (transport == nullptr) {
        upload::AgentLog().e(L"%s: no transport installed", kDoPost);
        return 0;
    }
    const ZELCore::InvokeHttpResponse response = transport->InvokeHttp(
        String::UTF16ToUTF8(url), {}, method, String::UTF16ToUTF8(body), ZELCore::HTTP_AUTH_NONE, true, "");
    return response.response.statusCode;
}

}  // namespace

const std::wstring NavpSyncAgent::navpFileName = FamilyOf(SyncEP::SyncEP_NAVP).bookmarkFile;

NavpSyncAgent::NavpSyncAgent(std::wstring datasetId, std::wstring url, _NavpSyncType syncType,
                             utility::EGetDBPathMethod method)
    : m_header(EventDataLogging::GetInstance()),
      m_url(std::move(url)),
      m_syncType(syncType),
      m_datasetId(std::move(datasetId)),
      m_method(method) {}

NavpSyncAgent::NavpSyncAgent(NavpHeader& header, std::wstring url)
    : m_header(header), m_url(std::move(url)), m_syncType(NAVP_ITEM_EVENT), m_method(utility::DB_PATH_DEFAULT) {}

std::unique_ptr<SyncPointDao> NavpSyncAgent::GetNavpSyncPointDbPath(utility::EGetDBPathMethod method) {
    return SyncAgentsHelper::SyncPointDaoForDbPath(method, navpFileName);
}

int NavpSyncAgent::doPost() {
    switch (m_syncType) {
        case NAVP_ITEM_EVENT: return doPost<ItemEvent>();
        case NAVP_DATASET_CONTEXT: return doPost<DatasetContext>();
        case NAVP_DEVICE_CONTEXT:
            // The device context may have changed since the shared header was last loaded.
            if (!NavpHeader::GetInstance()->LoadDeviceContext()) return Posted;
            return doPost<DeviceContext>();
        default: return Posted;
    }
}

template <typename T>
int NavpSyncAgent::doPost() {
    upload::AgentLog log;
    const std::wstring typeName = T::TypeName();
    try {
        // Nothing leaves the device while a device-path purge is pending or running.
        if (m_syncBlocked && m_syncBlocked()) {
            log.i(L"%s: device-path purge pending or in progress, skip sync", kDoPost);
            return NothingToSend;
        }

        // The bookmark and the batch.
        std::unique_ptr<SyncPointDao> syncPoints = GetNavpSyncPointDbPath(m_method);
        const std::int64_t syncId = upload::ReadOrInitBookmark(
            log, kDoPost, *syncPoints, m_datasetId, typeName,
            L"%s: Saving bookmark entry with id 0 failed: dataset_dateset_id - %s");
        std::int64_t startid = syncId == 0 ? 1 : syncId;
        std::int64_t cursor = startid;
        const int batchSize = m_syncType == NAVP_DEVICE_CONTEXT ? 1 : 10;
        EventDataLogging* store = EventDataLogging::GetInstance();
        std::list<T> records;

        // After an empty read, the recovery's restart point.
        const auto read = [&](std::int64_t& from, std::list<T>& into) {
            return navp::GetEvents(store, m_datasetId, from, batchSize, into, m_method);
        };
        const auto recoveryRead = [&](std::int64_t& from, std::list<T>& into) {
            return GetEvents(store, m_datasetId, from, m_datasetId.empty() ? 1 : 10, into, m_method);
        };
        if (!upload::ReadBatchOrRecover(log, {kDoPost, m_datasetId, typeName, m_method, syncId, startid, true},
                                        startid, cursor, records, read, recoveryRead))
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
        const std::int64_t endid = cursor;
        log.i(L"%s: Adjusted startid based on first fetched row id for guid(%s) firstFetchedRowId = %lld, syncId=%lld "
              L"startid=%lld endid=%lld",
              kDoPost, m_datasetId, records.front().row_id(), syncId, startid, endid);

        // Only the item events the dataset's policy includes may leave the device.
        if constexpr (std::is_same<T, ItemEvent>::value) {
            std::list<std::wstring> includeEvents;
            ConfigPolicyHelper().GetIncludeEventsForDataset(m_datasetId, includeEvents);
            CustomDataFilter::FilterEvents(records, includeEvents);
        }

        // Nothing of the batch may be sent: move past it.
        if (records.empty()) {
            log.i(L"%s: No item events filtered to Sync, updating the syncpoint", kDoPost);
            service.SaveBookmark(*syncPoints, {m_datasetId, typeName, endid + 1}, L"%s: Save SyncPoint: dataset_id - %s");
            return Posted;
        }

        // Body and post.
        std::wstring body;
        if (!navp::BuildBody(m_header, records, body) || body.empty()) {
            log.e(L"%s: JsonSerializervents error", kDoPost);
            return NoBody;
        }
        log.d(L"%s: Navpjsonstr=%s", kDoPost, body);
        const int status = PostToNavp(m_url, body);

        // Any answer but 2xx: the same batch goes again next time.
        if (!upload::IsSuccessStatus(status)) {
            log.e(L"%s: StatusCode = %d,id = %s,type=%s", kDoPost, status, m_datasetId, typeName);
            return Failed;
        }

        // Accepted: move past the batch.
        log.i(L"%s: StatusCode = %d,id = %s,type=%s, startid=%lld,endid=%lld,path=%s,pid=0x%x,tid=0x%x", kDoPost,
              status, m_datasetId, typeName, startid, endid, utility::GetDBPath(utility::DB_PATH_DEFAULT),
              static_cast<unsigned>(::getpid()), upload::ThreadIdForLog());
        service.SaveBookmark(*syncPoints, {m_datasetId, typeName, endid + 1}, L"%s: Save SyncPoint: dataset_id - %s");
        return Posted;
    } catch (...) {
        log.e(L"%s: exception id = %s,type=%s", kDoPost, m_datasetId, typeName);
        return Failed;
    }
}

int NavpSyncAgent::PostDeviceContext(std::int64_t recordId) {
    upload::AgentLog log;
    const std::wstring typeName = DeviceContext::TypeName();
    try {
        if (m_syncBlocked && m_syncBlocked()) {
            log.i(L"%s: device-path purge pending or in progress, skip device context post", kPostDeviceContext);
            return NothingToSend;
        }

        // Exactly the chosen row.
        std::list<DeviceContext> records;
        std::int64_t cursor = recordId;
        if (navp::GetEvents(EventDataLogging::GetInstance(), m_datasetId, cursor, 1, records,
                            utility::DB_PATH_DEFAULT)) {
            log.i(L"%s: GetEvents no data recordId = %lld,type= %s,dataset_id = %s", kPostDeviceContext, recordId,
                  typeName, m_datasetId);
            return NothingToSend;
        }
        upload::ServiceIdentity service(log, kPostDeviceContext);
        if (records.empty()) {
            log.e(L"%s: no Events data", kPostDeviceContext);
            return NothingInBatch;
        }

        std::wstring body;
        if (!navp::BuildBody(m_header, records, body) || body.empty()) {
            log.e(L"%s: JsonSerializervents error", kPostDeviceContext);
            return NoBody;
        }
        log.d(L"%s: Navpjsonstr=%s", kPostDeviceContext, body);

        const std::wstring url = GetNavpSyncEndpoint();
        if (url.empty()) {
            log.e(L"%s: NavpSyncEndpoint is empty or invalid, skipping HTTP call", kPostDeviceContext);
            return Failed;
        }
        const int status = PostToNavp(url, body);
        if (!upload::IsSuccessStatus(status)) {
            log.e(L"%s: StatusCode = %d,id = %s", kPostDeviceContext, status, m_datasetId);
            return Failed;
        }
        log.i(L"%s: StatusCode = %d,id = %s, recordId=%lld,path=%s,pid=0x%x,tid=0x%x", kPostDeviceContext, status,
              m_datasetId, recordId, utility::GetDBPath(utility::DB_PATH_DEFAULT), static_cast<unsigned>(::getpid()),
              upload::ThreadIdForLog());

        // The bookmark never moves backwards: a newer device context may have been sent already.
        SyncPointDao syncPoints(navpFileName);
        std::int64_t bookmark = 0;
        if (syncPoints.Get(bookmark, L"", typeName) && bookmark > recordId) return Posted;
        service.SaveBookmark(syncPoints, {L"", typeName, recordId + 1}, L"%s: Save SyncPoint failed%s");
        return Posted;
    } catch (...) {
        log.e(L"%s: exception id = %s", kPostDeviceContext, m_datasetId);
        return Failed;
    }
}

bool NavpSyncAgent::HaveData2Sync(utility::EGetDBPathMethod method) {
    return upload::HaveUnsentRows(
        {L"ZEL::DataSync::NavpSyncAgent::HaveData2Sync", navpFileName, m_datasetId, m_syncType}, method);
}

bool NavpSyncAgent::HaveData2SyncEx(utility::EGetDBPathMethod method, std::uint32_t frequency,
                                    std::string& logtime) {
    return upload::HaveUnsentRowsDue(
        {L"ZEL::DataSync::NavpSyncAgent::HaveData2SyncEx", navpFileName, m_datasetId, m_syncType}, method,
        frequency, logtime);
}

std::wstring NavpSyncAgent::GetNavpSyncEndpoint() {
    try {
        IConfigAgent* config = ConfigPolicyAgent::GetInstance();
        TelemetryPolicy policy;
        if (config == nullptr || !config->ReadTelemetryPolicy(policy)) return L"";
        const std::wstring url = PolicyNavpUrl(policy);
        EpUrlProvider* provider = EpUrlProvider::GetInstance();
        return provider != nullptr && provider->ValidateUri(url) ? url : L"";
    } catch (...) {
        upload::AgentLog().d(L"%s: Error getting Navp_SyncEP_url from config. Using default value",
                             L"ZEL::DataSync::NavpSyncAgent::GetNavpSyncEndpoint");
        return L"";
    }
}

}  // namespace DataSync
}  // namespace ZEL
