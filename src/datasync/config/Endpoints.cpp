// Which endpoint families the agent uses and with which URLs, settled once per full
// initialisation from the telemetry policy, and the readiness of each family.
#include <mutex>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/config/DefaultEndpoint.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/StringUtil.h"
#include "datasync/host/Transport.h"

namespace {

const wchar_t* const kFullInit = L"DataSyncAgent::FullInit";

std::wstring UrlOf(const ZEL::TelemetryPolicy& policy, const wchar_t* key) {
    auto found = policy.syncEndpointUrls.find(key);
    return found == policy.syncEndpointUrls.end() ? std::wstring() : found->second;
}

bool Validate(const std::wstring& url) {
    ZEL::EpUrlProvider* provider = ZEL::EpUrlProvider::GetInstance();
    return provider != nullptr && provider->ValidateUri(url);
}

}  // namespace

namespace ZEL {
namespace DataSync {
namespace {
std::mutex g_defaultUrlMutex;
std::wstring g_defaultUrl = L"https://telemetry.invalid/";
}  // namespace

std::wstring DefaultDeviceEndpointUrl() {
    std::lock_guard<std::mutex> lock(g_defaultUrlMutex);
    return g_defaultUrl;
}

void SetDefaultDeviceEndpointUrl(const std::wstring& url) {
    std::lock_guard<std::mutex> lock(g_defaultUrlMutex);
    g_defaultUrl = url;
}

std::wstring PolicyNavpUrl(const TelemetryPolicy& policy) {
    std::wstring navp = UrlOf(policy, L"NAVP_syncEP_url");
    if (navp.empty()) navp = policy.navpUrl;
    return navp;
}

}  // namespace DataSync
}  // namespace ZEL

void DataSyncAgent::ResolveEndpointUrls(const ZEL::TelemetryPolicy& policy) {
    // KTA: the URL map, then the primary and secondary fields, then the built-in default; only
    // this URL goes through the mutual-TLS conversion.
    std::wstring kta = UrlOf(policy, L"KTA_syncEP_url");
    if (kta.empty()) kta = policy.primaryUrl;
    if (kta.empty()) kta = policy.secondaryUrl;
    if (kta.empty()) kta = ZEL::DataSync::DefaultDeviceEndpointUrl();
    ZEL::CoreUtility* transport = ZEL::CoreUtility::GetInstance();
    const std::wstring ktaUrl = transport ? transport->GetMtlsUrl(kta) : kta;

    std::wstring navs = UrlOf(policy, L"NAVS_syncEP_url");
    if (navs.empty()) navs = policy.navsUrl;
    const std::wstring navp = ZEL::DataSync::PolicyNavpUrl(policy);
    std::wstring custom = UrlOf(policy, L"Custom_syncEP_url");
    if (custom.empty()) custom = ZEL::DataSync::DefaultDeviceEndpointUrl();

    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        m_ktaUrl = ktaUrl;
        m_authMode = policy.authMode;
        m_navsUrl = navs;
        m_navpUrl = navp;
        m_customUrl = custom;
    }

    m_log.d(L"%s:Sync end point url with Mtls base url: %s", kFullInit, ktaUrl);
    m_ktaUrlValid = Validate(ktaUrl);
    if (!m_ktaUrlValid) m_log.e(L"%s: Invalid KTA url", kFullInit);

    // Settled afresh at every start: a restart must not keep a family the new policy dropped.
    m_navsEnabled = 0;
    m_navsUrlValid = false;
    m_navpEnabled = 0;
    m_navpUrlValid = false;
    if (navs.empty()) {
        m_log.d(L"%s: Navs sync url is empty. Data will not be synced to NAVS.", kFullInit);
    } else {
        m_navsEnabled = 1;
        m_navsUrlValid = Validate(navs);
        if (!m_navsUrlValid) m_log.e(L"%s: Invalid NAVS url", kFullInit);
    }

    if (navp.empty()) {
        m_log.d(L"%s: navp sync url is empty. Data will not be synced to navp.", kFullInit);
    } else {
        m_navpEnabled = 1;
        m_navpUrlValid = Validate(navp);
        if (!m_navpUrlValid) m_log.e(L"%s: Invalid NAVP url", kFullInit);
    }
}

void DataSyncAgent::ReadContextChangeFlags(const ZEL::TelemetryPolicy& policy) {
    for (const std::wstring& option : policy.syncOptions) {
        if (option == L"sync_globalcontext_onchange") m_syncGlobalContextOnChange = true;
        if (option == L"sync_datasetcontext_onchange") m_syncDatasetContextOnChange = true;
    }
}

DataSyncAgent::EndpointUrls DataSyncAgent::CurrentEndpointUrls() {
    std::lock_guard<std::mutex> lock(m_endpointMutex);
    EndpointUrls urls;
    urls.kta = m_ktaUrl;
    urls.navs = m_navsUrl;
    urls.navp = m_navpUrl;
    urls.navsAuth = ZEL::String::CaseInsesitiveEqual(m_authMode, L"mtls") ? ZELCore::HTTP_AUTH_MTLS
                                                                          : ZELCore::HTTP_AUTH_DEFAULT;
    return urls;
}

bool DataSyncAgent::IsKtaSyncReady() { return m_ktaEnabled == 1 && _b_is_DevRegistered; }
bool DataSyncAgent::IsNavsSyncReady() { return m_navsEnabled == 1 && _b_is_DevRegistered; }
bool DataSyncAgent::IsNavpSyncReady() { return m_navpEnabled == 1; }
