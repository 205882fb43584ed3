// EndpointConfig: which endpoint families the agent uses and with which URLs, settled at each
// full initialisation from the telemetry policy.
//
//   KTA   the policy's "KTA_syncEP_url", else primaryUrl, else secondaryUrl, else the default
//         device endpoint URL; then the transport's mutual-TLS form. Switched on by the datasets
//         (SetKtaEnabled), not by its URL.
//   NAVS  "NAVS_syncEP_url", else navsUrl; on when not empty.
//   NAVP  "NAVP_syncEP_url", else navpUrl; on when not empty.
// A family's enabled flag and its URL's validity are separate facts: an invalid URL is logged
// and kept, and the dispatch consults both.
//
// Thread safety: Resolve runs on the host's thread (FullInit); every reader may run on any
// thread. The flags are atomics; the texts are copied under m_endpointMutex, which is held for
// nothing else. Status() never waits for anything but that copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "datasync/common/Published.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {

// The NAVP URL a policy names: "NAVP_syncEP_url" of its URL map, else its NAVP field.
std::wstring PolicyNavpUrl(const TelemetryPolicy& policy);

class EndpointConfig {
public:
    struct Status {
        EndpointUrls urls;
        bool enabled[3] = {false, false, false};  // by SyncEP::SyncEp_type
        bool valid[3] = {false, false, false};
        std::wstring authMode;
        std::wstring telemetryScope;
    };

    explicit EndpointConfig(Log& log) : m_log(log) {}
    EndpointConfig(const EndpointConfig&) = delete;
    EndpointConfig& operator=(const EndpointConfig&) = delete;

    // The URL KTA falls back to and the custom URL defaults to (the host's configuration).
    void SetDefaultDeviceEndpointUrl(const std::wstring& url);

    // Resolves, validates and enables the families from `policy`, logging as FullInit.
    void ResolveEndpointUrls(const TelemetryPolicy& policy);
    void SetTelemetryScope(const std::wstring& scope);
    // The policy's scope "none" (any case): nothing may be synced.
    bool IsScopeNone() const;
    void SetKtaEnabled(bool enabled);

    EndpointUrls CurrentEndpointUrls() const;
    bool IsEnabled(SyncEP::SyncEp_type type) const { return m_enabled[type].load(); }
    bool IsUrlValid(SyncEP::SyncEp_type type) const { return m_urlValid[type].load(); }

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }

private:
    void PublishStatus();

    Log& m_log;
    mutable std::mutex m_endpointMutex;
    std::wstring m_ktaUrl;  // guarded by m_endpointMutex, like the other texts
    std::wstring m_navsUrl;
    std::wstring m_navpUrl;
    std::wstring m_customUrl;
    std::wstring m_authMode;
    std::wstring m_telemetryScope;
    std::wstring m_defaultUrl = L"https://telemetry.invalid/";
    // m_ktaEnabled, m_navsEnabled, m_navpEnabled and the URL-valid flags, by family.
    std::atomic<bool> m_enabled[3] = {false, false, false};
    std::atomic<bool> m_urlValid[3] = {false, false, false};
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
