// The run-time state of the Linux host that its services answer from: the device facts (the
// host config's "device" section), the push channel and the transport settings. The daemon
// fills it from its config; the control socket and tests change it while the agent runs.
//
// Thread safety: readers get a consistent copy; Update* calls are serialised.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace ZEL {
namespace linuxhost {

struct DeviceState {
    std::string id = "dev-0001";
    bool online = true;
    bool registered = true;
    std::string realm;
    bool consumer = false;
    bool commercial_org = true;
    bool anonymous_metrics = true;
    bool critical_gateway_error = false;
    std::map<std::string, std::string> attributes;  // name -> value, e.g. "os_name" -> "Linux"
};

struct PushChannelState {
    std::string mode;         // overrides the policy's settings.channel_mode when not empty
    std::string suppression;  // overrides the policy's policy.heartbeat_suppression when not empty
    bool connected = false;
};

struct TlsSettings {
    std::string ca_file;      // empty: the system store
    std::string client_cert;  // PEM, sent for authentication type 1
    std::string client_key;
    std::map<std::string, std::string> mtls_url_map;  // URL prefix -> mutual-TLS prefix
    bool allow_http_loopback = false;
    long timeout_ms = 30000;
};

struct HostSettings {
    std::string policy_file;
    std::string default_endpoint_url = "https://telemetry.invalid/";
    std::string logon_user;
};

DeviceState CurrentDeviceState();
void UpdateDeviceState(const std::function<void(DeviceState&)>& change);

PushChannelState CurrentPushChannel();
void UpdatePushChannel(const std::function<void(PushChannelState&)>& change);

TlsSettings CurrentTlsSettings();
void InstallTlsSettings(const TlsSettings& settings);

HostSettings CurrentHostSettings();
void InstallHostSettings(const HostSettings& settings);

}  // namespace linuxhost
}  // namespace ZEL
