// What the KTA/NAVS and the NAVP uploads do differently, as two small rule sets that the one
// batch pipeline (BatchPipeline.h) is run with:
//
//                     KtaNavsRules                          NavpRules
//   bookmark file     the family's (SyncPoint.sqlite3, ...)  navp_syncPoint.sqlite3
//   first row         the newest only, for device status     the bookmark's
//   body              JsonFormater, under the newest device  "json=" events under the NAVP header
//                     context, cut where the context changes (no cut)
//   post              JSON with its content type, the        form text, no headers, no client
//                     family's authentication                certificate
//   status            the HTTP status, or the transport's    the HTTP status (0: no answer)
//                     code when no answer came
//   report            critical event 1017 (KTA also          nothing
//                     "syncRVSError")
//   accepted          2xx; 400/401/403/404 drop the batch,   2xx only
//                     except a device-missing 403
//   encrypted items   handled ranges reported to the store   not reported
//
// The log texts are each uploader's own (the function name, and lines that differ in a letter).
//
// Thread safety: the rules hold no mutable state but the NAVP header's cached device context,
// which is safe to share (NavpHeader.h).
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "datasync/common/UploadOutcome.h"
#include "datasync/host/Log.h"
#include "datasync/host/Transport.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/store/Records.h"
#include "datasync/upload/NavpHeader.h"

namespace ZEL {
namespace DataSync {
namespace upload {

// A batch turned into a request body.
struct EncodedBatch {
    UploadResult failure = UploadResult::Posted;  // Posted: built; NoDeviceContext or NotBuilt
    std::string body;                // UTF-8, as it goes on the wire
    int sent = 0;                    // records in the body
    std::int64_t lastIncluded = -1;  // the last row in the body; -1: the whole batch
    bool Built() const { return failure == UploadResult::Posted; }
};

// What the endpoint's answer does to the batch.
enum class Verdict { Accept, Drop, Fail };

struct KtaNavsRules {
    const wchar_t* function = L"ZEL::DataSync::SyncAgentsHelper::doPost";
    const wchar_t* initFailedFormat = L"%s: Saving bookmark entry with id 0 failed: dataset_id - %s";
    const wchar_t* acceptedFormat =
        L"%s: StatusCode = %d,id = %s,type=%s, startid=%lld,endid=%lld,path=%s,pid=%#x,tid=%#x";
    const wchar_t* fetchedFormat = L"%s: For dataset_id: %s startid %lld No of Events data %d";
    bool startsAtNewestRow = true;
    bool logsIdQueries = false;
    bool reportsEncryptedItems = true;

    std::wstring bookmarkFile;
    std::wstring endpointName;  // "KTA" or "NAVS"
    ZELCore::HttpAuthType authType = ZELCore::HTTP_AUTH_MTLS;
    bool transportFlag = false;

    EncodedBatch Encode(const std::list<ItemEvent>& records, TelemetryTables& tables, Log& log) const;
    EncodedBatch Encode(const std::list<DatasetContext>& records, TelemetryTables& tables, Log& log) const;
    EncodedBatch Encode(const std::list<ItemContext>& records, TelemetryTables& tables, Log& log) const;
    EncodedBatch Encode(const std::list<DeviceContext>& records, TelemetryTables& tables, Log& log) const;
    ZELCore::InvokeHttpResponse Post(const std::wstring& url, const std::string& body) const;
    int StatusOf(const ZELCore::InvokeHttpResponse& response) const;
    void Report(const ZELCore::InvokeHttpResponse& response, int status) const;
    Verdict Judge(ZELCore::InvokeHttpResponse& response, int status) const;
};

struct NavpRules {
    const wchar_t* function = L"ZEL::DataSync::NavpSyncAgent::doPost";
    const wchar_t* initFailedFormat = L"%s: Saving bookmark entry with id 0 failed: dataset_dateset_id - %s";
    const wchar_t* acceptedFormat =
        L"%s: StatusCode = %d,id = %s,type=%s, startid=%lld,endid=%lld,path=%s,pid=0x%x,tid=0x%x";
    const wchar_t* fetchedFormat = nullptr;
    bool startsAtNewestRow = false;
    bool logsIdQueries = true;
    bool reportsEncryptedItems = false;

    std::wstring bookmarkFile;
    NavpHeader* header;  // not owned

    EncodedBatch Encode(const std::list<ItemEvent>& records, TelemetryTables& tables, Log& log) const;
    EncodedBatch Encode(const std::list<DatasetContext>& records, TelemetryTables& tables, Log& log) const;
    EncodedBatch Encode(const std::list<DeviceContext>& records, TelemetryTables& tables, Log& log) const;
    ZELCore::InvokeHttpResponse Post(const std::wstring& url, const std::string& body) const;
    int StatusOf(const ZELCore::InvokeHttpResponse& response) const { return response.response.statusCode; }
    void Report(const ZELCore::InvokeHttpResponse&, int) const {}
    Verdict Judge(ZELCore::InvokeHttpResponse& response, int status) const;
};

// Records in the registry whether the last KTA answer was an error ("syncRVSError").
void SaveKtaResponse(const ZELCore::HttpResponse& response);

// Whether the status is a 2xx answer.
inline bool IsSuccessStatus(int status) {
    return status >= 200 && status <= 299;
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
