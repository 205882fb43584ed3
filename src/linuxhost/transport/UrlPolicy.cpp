// URL checks through libcurl's own URL parser, so that the host the transport vets is the host
// that curl will connect to (a hand-written parser could disagree on user info, ports or
// brackets and let a request through to another host).
#include "linuxhost/transport/UrlPolicy.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "linuxhost/transport/CurlHandles.h"

namespace ZEL {
namespace linuxhost {
namespace transport {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// One part of a parsed URL; empty when the URL has none.
std::string UrlPart(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return std::string();
    CurlTextPtr text(raw);
    return text ? std::string(text.get()) : std::string();
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    if (Lower(bare) == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

UrlVerdict CheckRequestUrl(const std::string& url, bool allowHttpLoopback) {
    UrlVerdict verdict;
    CurlUrlPtr parsed(curl_url());
    if (!parsed) {
        verdict.reason = "out of memory";
        return verdict;
    }
    const CURLUcode code = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
    if (code != CURLUE_OK) {
        verdict.reason = std::string("not a valid absolute URL: ") + curl_url_strerror(code);
        return verdict;
    }
    verdict.scheme = Lower(UrlPart(parsed.get(), CURLUPART_SCHEME));
    verdict.host = UrlPart(parsed.get(), CURLUPART_HOST);
    verdict.loopback = IsLoopbackHost(verdict.host);
    if (verdict.host.empty()) {
        verdict.reason = "the URL names no host";
    } else if (verdict.scheme == "https") {
        verdict.allowed = true;
    } else if (verdict.scheme == "http") {
        if (!verdict.loopback) verdict.reason = "http:// is allowed only to a loopback host";
        else if (!allowHttpLoopback) verdict.reason = "http:// to a loopback host is not enabled (tls.allow_http_loopback)";
        else verdict.allowed = true;
    } else {
        verdict.reason = "scheme \"" + verdict.scheme + "\" is not allowed";
    }
    return verdict;
}

std::string ApplyMtlsUrlMap(const std::map<std::string, std::string>& prefixMap, const std::string& url) {
    const std::pair<const std::string, std::string>* best = nullptr;
    for (const auto& entry : prefixMap) {
        if (entry.first.empty() || url.compare(0, entry.first.size(), entry.first) != 0) continue;
        if (best == nullptr || entry.first.size() > best->first.size()) best = &entry;
    }
    if (best == nullptr) return url;
    return best->second + url.substr(best->first.size());
}

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
