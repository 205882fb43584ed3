// The NAVP uploader: posts the next batch of one telemetry table to the NAVP endpoint as "json="
// text under the NAVP header, and moves the NAVP bookmark past the batch once the endpoint
// answered 2xx. Every other answer keeps the bookmark (NAVP has no permanent-failure rule).
// It also posts single device-context rows chosen by id (PostDeviceContext).
//
//   NavpSyncAgent agent(datasetId, navpUrl, NAVP_ITEM_EVENT, DB_PATH_INTERNAL);
//   int rc = agent.doPost();  // 0 posted (or nothing left by the filter), 1 nothing to send,
//                             // 2 no row could be decoded, 4 no body, 5 failed (any non-2xx
//                             // answer, no answer, a store that failed, or an exception)
//
// Bookmarks live in "navp_syncPoint.sqlite3" under the database's root. Both posts are the one
// batch pipeline (BatchPipeline.h) run with the NAVP rules; Upload and PostRecord return its
// outcome, doPost and PostDeviceContext the integer code made from it.
//
// Threads: an object is used by one thread at a time; doPost runs on the sync worker,
// PostDeviceContext on the device-context thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/common/SyncTypes.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/upload/BatchPipeline.h"
#include "datasync/upload/NavpHeader.h"

namespace ZEL {
namespace DataSync {

class NavpSyncAgent {
public:
    enum Result { Posted = 0, NothingToSend = 1, NothingInBatch = 2, NoBody = 4, Failed = 5 };

    static const std::wstring navpFileName;

    // Its own header reads the store's newest device context on first use.
    NavpSyncAgent(std::wstring datasetId, std::wstring url, _NavpSyncType syncType,
                  utility::EGetDBPathMethod method);
    // A device-context poster sharing `header`'s loaded context: item events, empty dataset id,
    // default root.
    NavpSyncAgent(NavpHeader& header, std::wstring url);

    // Nothing is posted while `blocked` answers true (a device-path purge).
    void SetSyncBlocked(SyncBlockedQuery blocked) { m_services.SetBlocked(std::move(blocked)); }
    // As SyncAgentsHelper::SetServices.
    void SetServices(upload::UploadServices services) { m_services.Set(std::move(services)); }

    // Uploads by sync type: item events, dataset contexts, or (after reloading the shared
    // header) the device context; item contexts and other types post nothing (Posted).
    UploadOutcome Upload();
    int doPost();

    // Posts the device-context row `recordId` to the policy's NAVP URL; on success the device
    // context's NAVP bookmark moves to recordId + 1 unless it is already further.
    UploadOutcome PostRecord(std::int64_t recordId);
    int PostDeviceContext(std::int64_t recordId);

    static int ResultCode(const UploadOutcome& outcome);

    // As the KTA/NAVS uploader's questions, on the NAVP bookmarks.
    bool HaveData2Sync(utility::EGetDBPathMethod method);
    bool HaveData2SyncEx(utility::EGetDBPathMethod method, std::uint32_t frequency, std::string& logtime);

private:
    template <typename T>
    UploadOutcome Upload();
    upload::NavpRules Rules();

    // The policy's NAVP URL when it is valid, else empty.
    static std::wstring GetNavpSyncEndpoint();

    NavpHeader m_header;
    std::wstring m_url;
    _NavpSyncType m_syncType;
    std::wstring m_datasetId;
    utility::EGetDBPathMethod m_method;
    upload::UploaderServices m_services;
};

}  // namespace DataSync
}  // namespace ZEL
