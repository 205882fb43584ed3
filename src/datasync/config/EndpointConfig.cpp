// Settling the endpoint families and their URLs from the telemetry policy.
#include "datasync/config/EndpointConfig.h"

#include "datasync/common/StringUtil.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kFullInit = L"DataSyncAgent::FullInit";

std::wstring UrlOf(const TelemetryPolicy& policy, const wchar_t* key) {
    auto found = policy.syncEndpointUrls.find(key);
    return found == policy.syncEndpointUrls.end() ? std::wstring() : found->second;
}

bool Validate(const std::wstring& url) {
    EpUrlProvider* provider = EpUrlProvider::GetInstance();
    return provider != nullptr && provider->ValidateUri(url);
}

}  // namespace

std::wstring PolicyNavpUrl(const TelemetryPolicy& policy) {
    std::wstring navp = UrlOf(policy, L"NAVP_syncEP_url");
    if (navp.empty()) navp = policy.navpUrl;
    return navp;
}

void EndpointConfig::SetDefaultDeviceEndpointUrl(const std::wstring& url) {
    std::lock_guard<std::mutex> lock(m_endpointMutex);
    m_defaultUrl = url;
}

void EndpointConfig::ResolveEndpointUrls(const TelemetryPolicy& policy) {
    std::wstring defaultUrl;
    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        defaultUrl = m_defaultUrl;
    }
    // KTA: the URL map, then the primary and secondary fields, then the built-in default; only
    // this URL goes through the mutual-TLS conversion.
    std::wstring kta = UrlOf(policy, L"KTA_syncEP_url");
    if (kta.empty()) kta = policy.primaryUrl;
    if (kta.empty()) kta = policy.secondaryUrl;
    if (kta.empty()) kta = defaultUrl;
    CoreUtility* transport = CoreUtility::GetInstance();
    const std::wstring ktaUrl = transport ? transport->GetMtlsUrl(kta) : kta;

    std::wstring navs = UrlOf(policy, L"NAVS_syncEP_url");
    if (navs.empty()) navs = policy.navsUrl;
    const std::wstring navp = PolicyNavpUrl(policy);
    std::wstring custom = UrlOf(policy, L"Custom_syncEP_url");
    if (custom.empty()) custom = defaultUrl;
    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        m_ktaUrl = ktaUrl;
        m_authMode = policy.authMode;
        m_navsUrl = navs;
        m_navpUrl = navp;
        m_customUrl = custom;
    }

    m_log.d(L"%s:Sync end point url with Mtls base url: %s", kFullInit, ktaUrl);
    m_urlValid[SyncEP::SyncEP_KTA] = Validate(ktaUrl);
    if (!m_urlValid[SyncEP::SyncEP_KTA]) m_log.e(L"%s: Invalid KTA url", kFullInit);

    // Settled afresh at every start: a restart must not keep a family the new policy dropped.
    const struct {
        SyncEP::SyncEp_type type;
        const std::wstring& url;
        const wchar_t* empty;
        const wchar_t* invalid;
    } optional[] = {
        {SyncEP::SyncEP_NAVS, navs, L"%s: Navs sync url is empty. Data will not be synced to NAVS.",
         L"%s: Invalid NAVS url"},
        {SyncEP::SyncEP_NAVP, navp, L"%s: navp sync url is empty. Data will not be synced to navp.",
         L"%s: Invalid NAVP url"},
    };
    for (const auto& family : optional) {
        m_enabled[family.type] = !family.url.empty();
        m_urlValid[family.type] = !family.url.empty() && Validate(family.url);
        if (family.url.empty())
            m_log.d(family.empty, kFullInit);
        else if (!m_urlValid[family.type])
            m_log.e(family.invalid, kFullInit);
    }
    PublishStatus();
}

void EndpointConfig::SetTelemetryScope(const std::wstring& scope) {
    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        m_telemetryScope = scope;
    }
    PublishStatus();
}

bool EndpointConfig::IsScopeNone() const {
    std::lock_guard<std::mutex> lock(m_endpointMutex);
    return String::CaseInsesitiveEqual(m_telemetryScope, L"none");
}

void EndpointConfig::SetKtaEnabled(bool enabled) {
    m_enabled[SyncEP::SyncEP_KTA] = enabled;
    PublishStatus();
}

EndpointUrls EndpointConfig::CurrentEndpointUrls() const {
    std::lock_guard<std::mutex> lock(m_endpointMutex);
    EndpointUrls urls;
    urls.kta = m_ktaUrl;
    urls.navs = m_navsUrl;
    urls.navp = m_navpUrl;
    urls.navsAuth = String::CaseInsesitiveEqual(m_authMode, L"mtls") ? ZELCore::HTTP_AUTH_MTLS
                                                                     : ZELCore::HTTP_AUTH_DEFAULT;
    return urls;
}

void EndpointConfig::PublishStatus() {
    Status status;
    status.urls = CurrentEndpointUrls();
    for (const EndpointFamily& family : kEndpointFamilies) {
        status.enabled[family.type] = IsEnabled(family.type);
        status.valid[family.type] = IsUrlValid(family.type);
    }
    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        status.authMode = m_authMode;
        status.telemetryScope = m_telemetryScope;
    }
    m_status.Publish(std::move(status));
}

}  // namespace DataSync
}  // namespace ZEL
