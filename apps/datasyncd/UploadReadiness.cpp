// The upload-readiness warnings of --check-config.
#include "datasyncd/UploadReadiness.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>

#include "datasync/common/StringUtil.h"
#include "datasync/config/SyncEP.h"
#include "linuxhost/policy/PolicyDocument.h"

namespace datasyncd {
namespace {

// Values go into one-line warnings: control characters become '?'.
std::string Shown(const std::wstring& value) {
    std::string text = ZEL::String::UTF16ToUTF8(value);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

// The host of an absolute URL, lower case, without brackets, port or user; empty when none.
std::string HostOf(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return "";
    std::string authority = url.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::string host = !authority.empty() && authority.front() == '['
                           ? authority.substr(1, authority.find(']') - 1)
                           : authority.substr(0, authority.find(':'));
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!host.empty() && host.back() == '.') host.pop_back();
    return host;
}

// `host` is `domain` or one of its subdomains.
bool Within(const std::string& host, const std::string& domain) {
    return host == domain || (host.size() > domain.size() &&
                              host.compare(host.size() - domain.size() - 1, std::string::npos, "." + domain) == 0);
}

// Why no installation's endpoint can be at `host`; empty when one can.
std::string PlaceholderReason(const std::string& host) {
    for (const char* reserved : {"example.com", "example.org", "example.net", "example", "invalid", "test"})
        if (Within(host, reserved)) return "a name reserved for documentation and tests: no upload arrives";
    in_addr v4{};
    const bool loopbackV4 = ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
    if (Within(host, "localhost") || host == "::1" || loopbackV4)
        return "a loopback host: only an endpoint on this device (such as datasync-collector) gets the uploads";
    return "";
}

// Where a family's URL comes from: the file and key that name it.
struct UrlSource {
    const std::string* file = nullptr;
    std::string key;
    std::wstring url;
};

UrlSource FirstNamed(std::initializer_list<UrlSource> candidates) {
    for (const UrlSource& candidate : candidates)
        if (!candidate.url.empty()) return candidate;
    return {};
}

std::wstring MapUrl(const ZEL::TelemetryPolicy& policy, const wchar_t* key) {
    const auto found = policy.syncEndpointUrls.find(key);
    return found == policy.syncEndpointUrls.end() ? std::wstring() : found->second;
}

}  // namespace

void CheckUploadReadiness(const std::string& configPath, const HostConfig& config,
                          std::vector<std::string>& warnings) {
    const std::string& policyFile = config.settings.policy_file;
    const ZEL::linuxhost::policy::PolicyDocument document = ZEL::linuxhost::policy::ReadPolicyDocument(policyFile);
    if (!document.usable) return;
    const ZEL::TelemetryPolicy& policy = document.policy;

    bool kta = false, navs = false, navp = false;
    for (const ZEL::DataSet& dataset : policy.datasets) {
        if (!dataset.dataset_enable()) continue;
        const SyncEP endpoints(dataset.syncEPs());
        kta = kta || endpoints.isKTAEnabled();
        navs = navs || endpoints.isNAVSEnabled();
        navp = navp || endpoints.isNAVPEnabled();
    }
    if (policy.datasets.empty())
        warnings.push_back(policyFile + ": datasets: none in force (none listed, or each left out for a problem "
                                        "above): nothing is uploaded");
    else if (!kta && !navs && !navp)
        warnings.push_back(policyFile + ": datasets: none of the " + std::to_string(policy.datasets.size()) +
                           " is enabled for an endpoint (dataset_enable true, syncEPs): nothing is uploaded");

    const bool navsMtls = navs && ZEL::String::CaseInsesitiveEqual(policy.authMode, L"mtls");
    if (kta || navsMtls) {
        const std::string who = kta ? "KTA uploads" : "NAVS uploads (the policy's auth_mode is \"mtls\")";
        const std::pair<const char*, const std::string*> files[] = {{"client_cert", &config.tls.client_cert},
                                                                     {"client_key", &config.tls.client_key}};
        for (const auto& [key, file] : files)
            if (file->empty())
                warnings.push_back(configPath + ": tls." + key + ": \"\" (none): " + who +
                                   " use mutual TLS and need the device's client certificate and its key");
    }

    const struct {
        bool used;
        const char* family;
        UrlSource source;
    } families[] = {
        {kta, "KTA",
         FirstNamed({{&policyFile, "sync_endpoint_urls.KTA_syncEP_url", MapUrl(policy, L"KTA_syncEP_url")},
                     {&policyFile, "primary_url", policy.primaryUrl},
                     {&policyFile, "secondary_url", policy.secondaryUrl},
                     {&configPath, "default_endpoint_url",
                      ZEL::String::UTF8ToUTF16(config.settings.default_endpoint_url)}})},
        {navs, "NAVS",
         FirstNamed({{&policyFile, "sync_endpoint_urls.NAVS_syncEP_url", MapUrl(policy, L"NAVS_syncEP_url")},
                     {&policyFile, "navs_url", policy.navsUrl}})},
        {navp, "NAVP",
         FirstNamed({{&policyFile, "sync_endpoint_urls.NAVP_syncEP_url", MapUrl(policy, L"NAVP_syncEP_url")},
                     {&policyFile, "navp_url", policy.navpUrl}})},
    };
    for (const auto& family : families) {
        if (!family.used || family.source.file == nullptr) continue;
        const std::string url = Shown(family.source.url), host = HostOf(url);
        const std::string reason = PlaceholderReason(host);
        if (!reason.empty())
            warnings.push_back(*family.source.file + ": " + family.source.key + ": \"" + url + "\" (the " +
                               family.family + " URL) is on " + host + ", " + reason);
    }
}

}  // namespace datasyncd
