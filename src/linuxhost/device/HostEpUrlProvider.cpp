// Endpoint URL checks and the realm.
//
// The check is deliberately narrower than RFC 3986: it accepts the URLs a telemetry policy
// names and refuses anything a transport might read differently from a person (embedded
// credentials, spaces, unescaped reserved characters), because the URL decides where device
// data goes.
#include "linuxhost/device/HostEpUrlProvider.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostState.h"

namespace ZEL {
namespace linuxhost {
namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The URL as ASCII, or false when it holds a character no accepted URL may hold.
bool ToCheckedAscii(const std::wstring& uri, std::string& ascii) {
    static const char kRefused[] = "\"<>\\^`{|}";
    ascii.clear();
    for (const wchar_t c : uri) {
        if (c < 0x21 || c > 0x7E) return false;  // space, control, DEL, non-ASCII
        const char narrow = static_cast<char>(c);
        if (std::strchr(kRefused, narrow) != nullptr) return false;
        ascii += narrow;
    }
    for (size_t i = 0; i < ascii.size(); ++i) {
        if (ascii[i] != '%') continue;
        if (i + 2 >= ascii.size() || !IsHexDigit(ascii[i + 1]) || !IsHexDigit(ascii[i + 2])) return false;
    }
    return true;
}

// Dot-separated labels of letters, digits, '-' and '_'.
bool IsHostName(const std::string& host) {
    if (host.empty()) return false;
    size_t labelLength = 0;
    for (const char c : host) {
        if (c == '.') {
            if (labelLength == 0) return false;
            labelLength = 0;
        } else if (IsAlnum(c) || c == '-' || c == '_') {
            ++labelLength;
        } else {
            return false;
        }
    }
    return labelLength > 0;
}

bool IsPort(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    unsigned long value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool IsLoopbackHost(const std::string& host, bool bracketed) {
    if (bracketed) {
        in6_addr address{};
        return inet_pton(AF_INET6, host.c_str(), &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
    }
    if (String::CaseInsesitiveEqual(String::UTF8ToUTF16(host), L"localhost")) return true;
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

bool HostEpUrlProvider::ValidateUri(const std::wstring& uri) {
    std::string url;
    if (!ToCheckedAscii(uri, url)) return false;

    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) return false;
    const std::wstring scheme = String::ToLower(String::UTF8ToUTF16(url.substr(0, schemeEnd)));
    const bool secure = scheme == L"https";
    if (!secure && scheme != L"http") return false;

    const std::string rest = url.substr(schemeEnd + 3);
    const std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('@') != std::string::npos) return false;

    std::string host;
    std::string port;
    bool hasPort = false;
    const bool bracketed = !authority.empty() && authority[0] == '[';
    if (bracketed) {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            hasPort = true;
            port = after.substr(1);
        }
        in6_addr address{};
        if (inet_pton(AF_INET6, host.c_str(), &address) != 1) return false;
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            port = authority.substr(colon + 1);
        }
        if (!IsHostName(host)) return false;
    }
    if (hasPort && !IsPort(port)) return false;

    if (secure) return true;
    return CurrentTlsSettings().allow_http_loopback && IsLoopbackHost(host, bracketed);
}

unsigned long HostEpUrlProvider::GetRealm(std::wstring& realm) {
    realm = String::UTF8ToUTF16(CurrentDeviceState().realm);
    return 0;
}

}  // namespace linuxhost

}  // namespace ZEL
