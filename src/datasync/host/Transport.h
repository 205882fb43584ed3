// The host's HTTPS transport (ZEL::CoreUtility) and the result of one exchange.
//
// Result codes (InvokeHttpResponse::resultCode):
//   0      the exchange completed; response.statusCode holds the HTTP status
//   34     the configured client certificate has expired; nothing was sent
//   78     the host name could not be resolved
//   12029  cannot connect, 12002 timed out, 12175 TLS failure, 12030 connection lost,
//   12004  any other transport failure
// response.statusCode is 0 whenever no HTTP answer arrived; response.message holds the
// response body (at most 64 KiB kept).
//
// Singleton: GetInstance() returns the installed instance (the daemon installs the libcurl
// transport); tests install doubles that record requests and answer with scripted statuses.
// Thread safety: InvokeHttp may be called from several threads at once.
#pragma once

#include <map>
#include <string>

namespace ZELCore {

enum HttpAuthType { HTTP_AUTH_NONE = 0, HTTP_AUTH_MTLS = 1, HTTP_AUTH_DEFAULT = 2 };

constexpr int HTTP_METHOD_POST = 4;

struct HttpResponse {
    int statusCode = 0;
    std::string message;
};

struct InvokeHttpResponse {
    int resultCode = 0;
    HttpResponse response;
};

namespace TransportResult {
constexpr int OK = 0;
constexpr int CLIENT_CERT_EXPIRED = 34;
constexpr int HOST_NOT_RESOLVED = 78;
constexpr int TIMED_OUT = 12002;
constexpr int OTHER_FAILURE = 12004;
constexpr int NAME_NOT_RESOLVED = 12007;
constexpr int CANNOT_CONNECT = 12029;
constexpr int CONNECTION_LOST = 12030;
constexpr int TLS_FAILURE = 12175;
}  // namespace TransportResult

}  // namespace ZELCore

namespace ZEL {

class CoreUtility {
public:
    virtual ~CoreUtility() = default;
    static CoreUtility* GetInstance();
    // Installs `instance` (not owned); null leaves GetInstance() returning null.
    static void SetInstance(CoreUtility* instance);

    virtual void GetDeviceId(std::wstring& deviceId) = 0;
    virtual bool IsDeviceRegistered() = 0;
    // One request; blocks until the exchange ends or the transport's stop is requested.
    // `method` is 4 (POST); `authType` 1 sends the configured client certificate. `keepAlive`
    // and `extra` are accepted for compatibility (the connection of each thread is reused).
    virtual ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url,
                                                   const std::map<std::string, std::string>& headers,
                                                   int& method, const std::string& body,
                                                   ZELCore::HttpAuthType authType, bool keepAlive,
                                                   const std::string& extra) = 0;
    // The URL under which a request must be made with mutual TLS (longest configured prefix
    // replaced; unchanged when none matches).
    virtual std::wstring GetMtlsUrl(const std::wstring& url) = 0;

    // HTTP 403 whose body is a JSON object with "errorCode" equal to "DeviceMissing" (any case).
    // Defined by the module (datasync/resilience/DeviceMissing.cpp): it only reads the answer.
    static bool Is403WithDeviceMissingError(ZELCore::InvokeHttpResponse& response);
};

}  // namespace ZEL
