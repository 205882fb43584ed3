// One POST through the calling thread's curl handle.
//
// The handle is reset (curl_easy_reset) before each request: that clears every option of the
// previous request, so nothing of one request (headers, client certificate, a stop callback of
// another instance) leaks into the next, while curl keeps the live connections, the TLS session
// cache and the DNS cache that make keep-alive work. Only renewed client credentials (other
// files, or the same files changed) replace the handle and with it those connections.
#include "linuxhost/transport/CurlTransport.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostState.h"
#include "linuxhost/transport/CurlHandles.h"
#include "linuxhost/transport/CurlResult.h"
#include "linuxhost/transport/TransportLog.h"
#include "linuxhost/transport/UrlPolicy.h"

namespace ZEL {
namespace linuxhost {
namespace {

using transport::ClientCertificateCheck;
using transport::CurlEasyPtr;
using transport::CurlSlistPtr;
using transport::TransportLogError;
using transport::TransportLogWarning;
namespace result = ZELCore::TransportResult;

constexpr long kDefaultTimeoutMs = 30000;

void GlobalInitOnce() {
    static std::once_flag once;
    // curl_global_init is not thread-safe; every thread's first request passes through here.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The credentials a request sends: the certificate as the check judged it and the key file, each
// by name and file identity.
std::string CredentialIdentity(const std::string& certFile, const ClientCertificateCheck::FileIdentity& cert,
                               const std::string& keyFile) {
    const auto text = [](const std::string& file, const ClientCertificateCheck::FileIdentity* identity) {
        if (identity == nullptr) return file + "|-|";
        return file + "|" + std::to_string(identity->device) + ":" + std::to_string(identity->inode) + ":" +
               std::to_string(identity->size) + ":" + std::to_string(identity->mtime.tv_sec) + "." +
               std::to_string(identity->mtime.tv_nsec) + "|";
    };
    ClientCertificateCheck::FileIdentity key;
    const bool keyKnown = !keyFile.empty() && ClientCertificateCheck::Identify(keyFile, key);
    return text(certFile, &cert) + text(keyFile, keyKnown ? &key : nullptr);
}

// The calling thread's handle, created on first use and cleaned up when the thread ends.
// `credentials` is the CredentialIdentity of a request that sends a client certificate, empty
// for one that sends none. A handle that has sent other credentials is replaced: its live
// connections and cached TLS sessions carry the old certificate (curl matches connections by
// the certificate's file name only, and a resumed session keeps the identity of its first
// handshake), so renewed files would otherwise not be presented until the server closed them.
CURL* ThreadHandle(const std::string& credentials) {
    struct ThreadConnection {
        CurlEasyPtr handle;
        std::string credentials;  // of the last request that sent a certificate
    };
    thread_local ThreadConnection connection;
    if (connection.handle && !credentials.empty() && !connection.credentials.empty() &&
        credentials != connection.credentials)
        connection.handle.reset();
    if (!connection.handle) {
        GlobalInitOnce();
        connection.handle.reset(curl_easy_init());
        connection.credentials.clear();
    }
    if (!credentials.empty()) connection.credentials = credentials;
    return connection.handle.get();
}

ZELCore::InvokeHttpResponse Failure(int code) {
    ZELCore::InvokeHttpResponse response;
    response.resultCode = code;
    return response;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The request headers as a curl list; false (and `problem`) for a header that would break the
// request framing. An empty value is sent as an empty header ("Name;" in curl's notation)
// rather than removing curl's own header of that name.
bool BuildHeaderList(const std::map<std::string, std::string>& headers, CurlSlistPtr& list, std::string& problem) {
    bool hasExpect = false;
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (grown == nullptr) return false;
        list.release();
        list.reset(grown);
        return true;
    };
    for (const auto& header : headers) {
        const std::string& name = header.first;
        const std::string& value = header.second;
        if (name.empty() || name.find_first_of(":\r\n; \t") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos) {
            problem = "invalid header \"" + name + "\"";
            return false;
        }
        if (EqualsIgnoringCase(name, "Expect")) hasExpect = true;
        if (!append(value.empty() ? name + ";" : name + ": " + value)) {
            problem = "out of memory";
            return false;
        }
    }
    // Without this curl sends "Expect: 100-continue" for large bodies and waits for an interim
    // answer that many servers never send.
    if (!hasExpect && !append("Expect:")) {
        problem = "out of memory";
        return false;
    }
    return true;
}

struct BodySink {
    std::string text;
};

size_t OnBody(char* data, size_t size, size_t count, void* sink) {
    const size_t bytes = size * count;
    std::string& text = static_cast<BodySink*>(sink)->text;
    if (text.size() < CurlTransport::kMaxResponseBytes)
        text.append(data, std::min(bytes, CurlTransport::kMaxResponseBytes - text.size()));
    // The rest is read and dropped: refusing it would turn a complete answer into a failure.
    return bytes;
}

}  // namespace

CurlTransport::CurlTransport() { GlobalInitOnce(); }

void CurlTransport::GetDeviceId(std::wstring& deviceId) {
    deviceId = String::UTF8ToUTF16(CurrentDeviceState().id);
}

bool CurlTransport::IsDeviceRegistered() { return CurrentDeviceState().registered; }

std::wstring CurlTransport::GetMtlsUrl(const std::wstring& url) {
    const TlsSettings tls = CurrentTlsSettings();
    return String::UTF8ToUTF16(transport::ApplyMtlsUrlMap(tls.mtls_url_map, String::UTF16ToUTF8(url)));
}

int CurlTransport::OnTransferProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlTransport*>(self)->StopRequested() ? 1 : 0;
}

ZELCore::InvokeHttpResponse CurlTransport::InvokeHttp(const std::string& url,
                                                      const std::map<std::string, std::string>& headers,
                                                      int& method, const std::string& body,
                                                      ZELCore::HttpAuthType authType, bool /*keepAlive*/,
                                                      const std::string& /*extra*/) {
    if (method != ZELCore::HTTP_METHOD_POST) {
        TransportLogError(L"CurlTransport: refused %s: request method %d is not supported",
                          String::UTF8ToUTF16(url), method);
        return Failure(result::OTHER_FAILURE);
    }
    if (StopRequested()) return Failure(result::CONNECTION_LOST);

    const TlsSettings tls = CurrentTlsSettings();
    const transport::UrlVerdict verdict = transport::CheckRequestUrl(url, tls.allow_http_loopback);
    if (!verdict.allowed) {
        TransportLogError(L"CurlTransport: refused %s: %s", String::UTF8ToUTF16(url),
                          String::UTF8ToUTF16(verdict.reason));
        return Failure(result::OTHER_FAILURE);
    }

    const bool sendCertificate = authType == ZELCore::HTTP_AUTH_MTLS && !tls.client_cert.empty();
    std::string credentials;  // empty: no certificate sent
    if (sendCertificate) {
        std::string problem;
        ClientCertificateCheck::FileIdentity judged;
        const ClientCertificateCheck::Verdict verdict = m_certificates.Check(tls.client_cert, problem, &judged);
        if (verdict == ClientCertificateCheck::Verdict::Valid)
            credentials = CredentialIdentity(tls.client_cert, judged, tls.client_key);
        switch (verdict) {
            case ClientCertificateCheck::Verdict::Valid:
                break;
            case ClientCertificateCheck::Verdict::Expired:
                TransportLogWarning(L"CurlTransport: client certificate %s has expired; %s not sent",
                                    String::UTF8ToUTF16(tls.client_cert), String::UTF8ToUTF16(url));
                return Failure(result::CLIENT_CERT_EXPIRED);
            case ClientCertificateCheck::Verdict::Unreadable:
                TransportLogError(L"CurlTransport: client certificate %s: %s; %s not sent",
                                  String::UTF8ToUTF16(tls.client_cert), String::UTF8ToUTF16(problem),
                                  String::UTF8ToUTF16(url));
                return Failure(result::TLS_FAILURE);
        }
    }

    CurlSlistPtr headerList;
    std::string headerProblem;
    if (!BuildHeaderList(headers, headerList, headerProblem)) {
        TransportLogError(L"CurlTransport: refused %s: %s", String::UTF8ToUTF16(url),
                          String::UTF8ToUTF16(headerProblem));
        return Failure(result::OTHER_FAILURE);
    }

    CURL* curl = ThreadHandle(credentials);
    if (curl == nullptr) {
        TransportLogError(L"CurlTransport: cannot create a curl handle; %s not sent",
                          String::UTF8ToUTF16(url));
        return Failure(result::OTHER_FAILURE);
    }
    curl_easy_reset(curl);

    const long timeoutMs = tls.timeout_ms > 0 ? tls.timeout_ms : kDefaultTimeoutMs;
    BodySink sink;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, verdict.scheme.c_str());
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, verdict.scheme.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // A configured CA file alone decides which servers are trusted: libcurl's built-in CA folder
    // (the system store) would otherwise still vouch for any server its CAs signed.
    if (!tls.ca_file.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, tls.ca_file.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    if (sendCertificate) {
        curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM");
        curl_easy_setopt(curl, CURLOPT_SSLCERT, tls.client_cert.c_str());
        if (!tls.client_key.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, tls.client_key.c_str());
    }
    // A proxy cannot reach this machine's loopback interface.
    if (verdict.loopback) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CurlTransport::OnTransferProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(curl);
    // The options point at this frame's locals; drop them before the frame goes.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);

    ZELCore::InvokeHttpResponse response;
    response.resultCode = transport::TransportResultFromCurl(code);
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        response.response.statusCode = static_cast<int>(status);
        response.response.message = std::move(sink.text);
    } else {
        const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        TransportLogWarning(L"CurlTransport: POST %s failed: curl %d (%s), result %d",
                            String::UTF8ToUTF16(url), static_cast<int>(code), String::UTF8ToUTF16(detail),
                            response.resultCode);
    }
    return response;
}

}  // namespace linuxhost
}  // namespace ZEL
