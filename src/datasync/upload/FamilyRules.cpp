// The two rule sets of the upload road: bodies, posts and the reading of answers per family.
#include "datasync/upload/FamilyRules.h"

#include "datasync/common/StringUtil.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/Registry.h"
#include "datasync/upload/AgentLog.h"
#include "datasync/upload/JsonFormater.h"
#include "datasync/upload/NavpBody.h"

namespace ZEL {
namespace DataSync {
namespace upload {
namespace {

constexpr int kSyncFailureEvent = 1017;

// Answers that will never change for this batch: it is dropped and the bookmark moves on.
bool IsPermanentFailure(int status) {
    return status == 400 || status == 401 || status == 403 || status == 404;
}

ZELCore::InvokeHttpResponse PostThrough(const std::wstring& url,
                                        const std::map<std::string, std::string>& headers,
                                        const std::string& body, ZELCore::HttpAuthType auth, bool flag) {
    CoreUtility* transport = CoreUtility::GetInstance();
    if (transport == nullptr) {
        AgentLog().e(L"%s: no transport installed", L"ZEL::DataSync::upload::Post");
        ZELCore::InvokeHttpResponse none;
        none.resultCode = ZELCore::TransportResult::OTHER_FAILURE;
        return none;
    }
    int method = ZELCore::HTTP_METHOD_POST;
    return transport->InvokeHttp(String::UTF16ToUTF8(url), headers, method, body, auth, flag, "");
}

// The KTA/NAVS bodies go out under the newest device context.
template <typename T>
EncodedBatch EncodeUnderNewestContext(const std::list<T>& records, TelemetryTables& tables, Log& log,
                                      const wchar_t* function) {
    EncodedBatch encoded;
    ZEL::DeviceContext context;
    if (!tables.NewestDeviceContext(context)) {
        log.w(L"%s: GetLastDeviceContext no data", function);
        encoded.failure = UploadResult::NoDeviceContext;
        return encoded;
    }
    encoded.sent =
        JsonFormater::JsonSerializer(records, context.device_info().device_id(), context.device_context_id(),
                                     encoded.body, &encoded.lastIncluded);
    if (encoded.body.empty() || encoded.sent < 1) {
        log.e(L"%s: JsonSerializervents error", function);
        encoded.failure = UploadResult::NotBuilt;
    }
    return encoded;
}

template <typename T>
EncodedBatch EncodeForNavp(NavpHeader& header, const std::list<T>& records, Log& log,
                           const wchar_t* function) {
    EncodedBatch encoded;
    std::wstring body;
    if (!navp::BuildBody(header, records, body) || body.empty()) {
        log.e(L"%s: JsonSerializervents error", function);
        encoded.failure = UploadResult::NotBuilt;
        return encoded;
    }
    encoded.body = String::UTF16ToUTF8(body);
    encoded.sent = static_cast<int>(records.size());
    log.d(L"%s: Navpjsonstr=%s", function, body);
    return encoded;
}

}  // namespace

EncodedBatch KtaNavsRules::Encode(const std::list<ItemEvent>& records, TelemetryTables& tables,
                                  Log& log) const {
    return EncodeUnderNewestContext(records, tables, log, function);
}
EncodedBatch KtaNavsRules::Encode(const std::list<DatasetContext>& records, TelemetryTables& tables,
                                  Log& log) const {
    return EncodeUnderNewestContext(records, tables, log, function);
}
EncodedBatch KtaNavsRules::Encode(const std::list<ItemContext>& records, TelemetryTables& tables,
                                  Log& log) const {
    return EncodeUnderNewestContext(records, tables, log, function);
}
EncodedBatch KtaNavsRules::Encode(const std::list<DeviceContext>& records, TelemetryTables& tables,
                                  Log& log) const {
    return EncodeUnderNewestContext(records, tables, log, function);
}

ZELCore::InvokeHttpResponse KtaNavsRules::Post(const std::wstring& url, const std::string& body) const {
    return PostThrough(url, {{"Content-Type", "application/json"}}, body, authType, transportFlag);
}

int KtaNavsRules::StatusOf(const ZELCore::InvokeHttpResponse& response) const {
    // The transport's result code when no answer came (a refused connection, a time-out, a TLS
    // failure), so that such a post is never taken for a success. An unresolved host name reads
    // as 12007.
    if (response.response.statusCode != 0) return response.response.statusCode;
    if (response.resultCode == ZELCore::TransportResult::HOST_NOT_RESOLVED)
        return ZELCore::TransportResult::NAME_NOT_RESOLVED;
    if (response.resultCode != ZELCore::TransportResult::OK) return response.resultCode;
    return ZELCore::TransportResult::OTHER_FAILURE;  // completed, yet no status: not a success either
}

void KtaNavsRules::Report(const ZELCore::InvokeHttpResponse& response, int status) const {
    if (endpointName == L"KTA") SaveKtaResponse(response.response);
    if (IsSuccessStatus(status))
        CriticalEventLogger::ResetError(kSyncFailureEvent, status);
    else
        CriticalEventLogger::Log(kSyncFailureEvent, status);
}

Verdict KtaNavsRules::Judge(ZELCore::InvokeHttpResponse& response, int status) const {
    // A device-missing 403 is the device-missing handling's, not a refusal of the batch.
    if (CoreUtility::Is403WithDeviceMissingError(response)) return Verdict::Fail;
    if (IsSuccessStatus(status)) return Verdict::Accept;
    return IsPermanentFailure(status) ? Verdict::Drop : Verdict::Fail;
}

EncodedBatch NavpRules::Encode(const std::list<ItemEvent>& records, TelemetryTables&, Log& log) const {
    return EncodeForNavp(*header, records, log, function);
}
EncodedBatch NavpRules::Encode(const std::list<DatasetContext>& records, TelemetryTables&, Log& log) const {
    return EncodeForNavp(*header, records, log, function);
}
EncodedBatch NavpRules::Encode(const std::list<DeviceContext>& records, TelemetryTables&, Log& log) const {
    return EncodeForNavp(*header, records, log, function);
}

ZELCore::InvokeHttpResponse NavpRules::Post(const std::wstring& url, const std::string& body) const {
    // NAVP takes the body as form text, with no headers of its own and no client certificate.
    return PostThrough(url, {}, body, ZELCore::HTTP_AUTH_NONE, true);
}

Verdict NavpRules::Judge(ZELCore::InvokeHttpResponse&, int status) const {
    return IsSuccessStatus(status) ? Verdict::Accept : Verdict::Fail;
}

void SaveKtaResponse(const ZELCore::HttpResponse& response) {
    AgentLog().i(L"%s: saving response with status code %d",
                 L"ZEL::DataSync::SyncAgentsHelper::SaveResponseForDeviceSupport", response.statusCode);
    std::wstring name = L"syncRVSError";
    utility::WriteErrorToRegistry(name, IsSuccessStatus(response.statusCode) ? 0 : 1);
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
