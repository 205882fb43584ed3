// The host's HTTPS transport: ZEL::CoreUtility over libcurl with OpenSSL.
//
// Every request reads the transport settings (linuxhost::CurrentTlsSettings) afresh, so changes
// made while the agent runs apply to the next request: the server is verified against
// tls.ca_file alone (no CA folder, no system store), or the system store when it is empty;
// authentication type 1 sends tls.client_cert and
// tls.client_key; tls.timeout_ms bounds the whole exchange and the connect. Only https:// is
// sent, plus http:// to a loopback host when tls.allow_http_loopback is set; redirects are not
// followed. Any other URL is refused without sending (12004, one line in host.log).
//
// Each calling thread owns one curl handle and reuses it, so consecutive requests from a thread
// keep their connection (and TLS session) alive. A client certificate or key renewed on disk
// (written in place or renamed over, as renewal tools do) is sent from the next request on,
// over a new connection: the handle is replaced when the files' identity changes.
//
// Stop: RequestStop() aborts every transfer in flight of this instance (within about a second:
// curl calls the progress callback at least that often) with 12030, and refuses new requests
// with 12030 until ClearStop().
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <string>

#include "datasync/host/Transport.h"
#include "linuxhost/transport/ClientCertificateCheck.h"

namespace ZEL {
namespace linuxhost {

class CurlTransport : public CoreUtility {
public:
    // The part of a response body kept as HttpResponse::message.
    static constexpr std::size_t kMaxResponseBytes = 64 * 1024;

    CurlTransport();

    void GetDeviceId(std::wstring& deviceId) override;
    bool IsDeviceRegistered() override;
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url, const std::map<std::string, std::string>& headers,
                                           int& method, const std::string& body, ZELCore::HttpAuthType authType,
                                           bool keepAlive, const std::string& extra) override;
    std::wstring GetMtlsUrl(const std::wstring& url) override;

    void RequestStop() { m_stop.store(true); }
    void ClearStop() { m_stop.store(false); }
    bool StopRequested() const { return m_stop.load(); }

private:
    static int OnTransferProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    std::atomic<bool> m_stop{false};
    transport::ClientCertificateCheck m_certificates;
};

}  // namespace linuxhost
}  // namespace ZEL
