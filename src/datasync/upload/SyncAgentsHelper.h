// The KTA/NAVS batch uploader: posts the next batch of one telemetry table to one KTA or NAVS
// endpoint and moves that endpoint's bookmark past the batch once the endpoint has accepted (or
// permanently refused) it.
//
//   SyncAgentsHelper helper(datasetId, ktaUrl, SYNC_ITEM_EVENT, L"KTA", DB_PATH_INTERNAL);
//   ZELCore::InvokeHttpResponse response;
//   int rc = helper.doPost(response);   // 0 posted, 1 nothing to send, 2 batch had nothing to post,
//                                       // 3 no device context, 4 no body, 5 a store that failed
//                                       // or an exception, else the HTTP status or transport
//                                       // result code of a failed post
//
// One object uploads one (database, endpoint) pair; the dispatcher makes a new one per upload.
// Bookmarks live in the endpoint family's SyncPoint file under the database's own root. The
// upload itself is the one batch pipeline (BatchPipeline.h) run with the KTA/NAVS rules; Upload
// returns its outcome, doPost the integer code made from it.
//
// Threads: an object is used by one thread at a time. doPost may run on the sync worker and the
// device-context thread at once for different objects; it holds no lock of its own. When the
// calling thread acts as the logged-on user, doPost posts as the service and returns the thread
// to the user only around its bookmark writes, so the caller finds the thread as the service.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/common/SyncTypes.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/host/Transport.h"
#include "datasync/upload/BatchPipeline.h"

namespace ZEL {
namespace DataSync {

class SyncAgentsHelper {
public:
    // Result codes of one record kind's upload; any other value is the HTTP status (or the
    // transport's result code when no answer came) of a failed post.
    enum Result {
        Posted = 0,          // the endpoint took the batch (or refused it for good); bookmark moved
        NothingToSend = 1,   // uploads blocked, no rows even after recovery, or no include list
        NothingInBatch = 2,  // no record to post in the batch; bookmark moved past it
        NoDeviceContext = 3,
        NoBody = 4,
        Failed = 5,          // a table or bookmark that could not be read or written, or an exception
    };

    static constexpr const wchar_t* kDefaultSyncPointFile = FamilyOf(SyncEP::SyncEP_KTA).bookmarkFile;

    SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType, std::wstring endpointName,
                     std::wstring syncPointFile, ZELCore::HttpAuthType authType, bool transportFlag,
                     utility::EGetDBPathMethod method);
    // SyncPoint file "SyncPoint.sqlite3", mutual TLS, transport flag false.
    SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType, std::wstring endpointName,
                     utility::EGetDBPathMethod method);

    // Nothing is posted while `blocked` answers true (a device-path purge).
    void SetSyncBlocked(SyncBlockedQuery blocked) { m_services.SetBlocked(std::move(blocked)); }
    // The stores and held bookmark files to upload through (the agent's); without them the host's
    // stores and a record of held files of this object's own.
    void SetServices(upload::UploadServices services) { m_services.Set(std::move(services)); }

    // Uploads by sync type; the record-kind suffix is appended to the base URL. For type 4 the
    // three kinds are posted in turn and the last outcome is returned; types without a table
    // post nothing (Posted). `response` receives the last post's response (untouched when nothing
    // was posted).
    UploadOutcome Upload(ZELCore::InvokeHttpResponse& response);
    // Upload's outcome as the result code above.
    int doPost(ZELCore::InvokeHttpResponse& response);
    static int ResultCode(const UploadOutcome& outcome);

    // Whether rows of this table are not yet accepted: the last row id is at or past the
    // bookmark (true also when the last id cannot be read).
    bool HaveData2Sync(utility::EGetDBPathMethod method);
    // Whether unsent rows exist and `frequency` has passed since the bookmark's last write (or,
    // with no usable bookmark, since the newest row was logged). `logtime` receives the time
    // text the decision was based on.
    bool HaveData2SyncEx(utility::EGetDBPathMethod method, std::uint32_t frequency, std::string& logtime);

    // Whether `frequency` has passed since the newest row of the table was logged.
    static bool IsSyncFrequencyElapsedSinceFirstTelemetryLogtime(const std::wstring& datasetId,
                                                                 const std::wstring& tableName,
                                                                 utility::EGetDBPathMethod method,
                                                                 std::uint32_t frequency, std::string& logtime);

    // Records in the registry whether the last KTA answer was an error ("syncRVSError").
    void SaveResponseForDeviceSupport(const ZELCore::HttpResponse& response);

    // Smallest / largest row id of the table of `kindTypeName` ("class ItemEvent") in the file of
    // `datasetId` under `method`'s root, from the installed tables: 0 for an empty table, -1
    // when the file cannot be read. A kind text shorter than six characters throws
    // std::out_of_range.
    static std::int64_t GetFirstIdFromDBWithDatasetId(const std::wstring& kindTypeName, const std::wstring& datasetId,
                                                      utility::EGetDBPathMethod method);
    static std::int64_t GetLastIdFromDBWithDatasetId(const std::wstring& kindTypeName, const std::wstring& datasetId,
                                                     utility::EGetDBPathMethod method);

    // Whether the newest device context has a bookmark in `syncPointFile` (default root), i.e.
    // an endpoint of that family has accepted a device context.
    static bool IsDeviceContextSyncSuccess(const std::wstring& syncPointFile);

private:
    template <typename T>
    UploadOutcome Upload(const wchar_t* suffix, ZELCore::InvokeHttpResponse& response);

    std::wstring m_datasetId;
    std::wstring m_baseUrl;
    std::wstring m_syncPointFile;
    SyncTypes m_syncType;
    utility::EGetDBPathMethod m_method;
    ZELCore::HttpAuthType m_authType;
    bool m_transportFlag;
    std::wstring m_endpointName;
    upload::UploaderServices m_services;
};

}  // namespace DataSync
}  // namespace ZEL
