// How a libcurl outcome becomes one of the transport's result codes (see Transport.h).
#pragma once

#include <curl/curl.h>

namespace ZEL {
namespace linuxhost {
namespace transport {

// 78 name not resolved, 12029 cannot connect, 12002 timed out, 12175 TLS failure, 12030
// connection lost (also a transfer aborted by a stop), 12004 anything else; 0 for CURLE_OK.
//
// A server that refuses a missing or unacceptable client certificate under TLS 1.3 does so after
// the client considers the handshake complete, so curl reports it as a send or receive error
// (55/56, depending on timing) and it maps to 12030; under TLS 1.2 the same refusal is a
// handshake failure (35) and maps to 12175. Callers must treat both as "refused".
int TransportResultFromCurl(CURLcode code);

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
