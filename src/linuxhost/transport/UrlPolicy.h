// Which URLs the transport may send to, decided before anything is sent, and the mutual-TLS
// URL mapping. Pure functions of their arguments; safe from any thread.
//
// Only https:// is allowed, plus http:// to a loopback host (127.0.0.0/8, ::1, "localhost")
// when the host configuration allows it: telemetry must never travel in clear text over a
// network, while local test endpoints need not carry certificates.
#pragma once

#include <map>
#include <string>

namespace ZEL {
namespace linuxhost {
namespace transport {

struct UrlVerdict {
    bool allowed = false;
    std::string scheme;  // lower case, as parsed
    std::string host;    // as parsed; an IPv6 address keeps its brackets
    bool loopback = false;
    std::string reason;  // why the URL is refused (empty when allowed)
};

UrlVerdict CheckRequestUrl(const std::string& url, bool allowHttpLoopback);

// "localhost" (any case), an IPv4 address in 127.0.0.0/8 or the IPv6 address ::1 (with or
// without brackets). Names are not resolved: only a literal loopback counts.
bool IsLoopbackHost(const std::string& host);

// Replaces the longest key of `prefixMap` that starts `url` by its value; `url` unchanged when
// no key matches. Empty keys never match. The comparison is exact (URLs in the host config are
// written the way the policy writes them).
std::string ApplyMtlsUrlMap(const std::map<std::string, std::string>& prefixMap, const std::string& url);

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
