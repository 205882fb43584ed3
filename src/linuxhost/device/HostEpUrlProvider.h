// The Linux host's endpoint URL service: which endpoint URLs the agent may use, and the
// device's realm.
//
// ValidateUri accepts an absolute URL "https://host[:port][/path][?query][#fragment]" where
//   - host is a DNS name (letters, digits, '-', '_', dot-separated non-empty labels), an IPv4
//     address, or an IPv6 address in brackets;
//   - port, when present, is 1 to 65535;
//   - every character is printable ASCII and allowed in a URI: no spaces, control characters,
//     non-ASCII text, '"', '<', '>', '\\', '^', '`', '{', '|', '}', and '%' only as a %XX escape;
//   - there is no user information ("user@host"): credentials do not belong in policy URLs.
// "http://" is accepted by the same rules only when the TLS settings allow plain HTTP to a
// loopback host (allow_http_loopback) and the host is "localhost", an address in 127.0.0.0/8
// or [::1]. The scheme is compared ignoring case.
//
// GetRealm answers device.realm of the host state and always succeeds (0).
// Thread safety: stateless; callable from any thread.
#pragma once

#include <string>

#include "datasync/host/DeviceStatus.h"

namespace ZEL {
namespace linuxhost {

class HostEpUrlProvider : public EpUrlProvider {
public:
    bool ValidateUri(const std::wstring& uri) override;
    unsigned long GetRealm(std::wstring& realm) override;
};

}  // namespace linuxhost
}  // namespace ZEL
