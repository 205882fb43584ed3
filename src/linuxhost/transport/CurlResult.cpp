// The CURLcode classification of the transport.
#include "linuxhost/transport/CurlResult.h"

#include "datasync/host/Transport.h"

namespace ZEL {
namespace linuxhost {
namespace transport {

int TransportResultFromCurl(CURLcode code) {
    namespace result = ZELCore::TransportResult;
    switch (code) {
        case CURLE_OK:
            return result::OK;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return result::HOST_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return result::CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return result::TIMED_OUT;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return result::TLS_FAILURE;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_ABORTED_BY_CALLBACK:
            return result::CONNECTION_LOST;
        default:
            return result::OTHER_FAILURE;
    }
}

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
