// Helpers shared by the host-service tests: a guard that restores the host's run-time state
// after a test changes it, a bounded wait for a condition, and file writing.
#pragma once

#include <fstream>
#include <string>

#include "linuxhost/HostState.h"
#include "support/WaitUntil.h"

namespace servicestest {

namespace host = ZEL::linuxhost;

// Saves the whole host state on construction and puts it back on destruction.
class HostStateGuard {
public:
    ~HostStateGuard() {
        host::UpdateDeviceState([this](host::DeviceState& state) { state = m_device; });
        host::UpdatePushChannel([this](host::PushChannelState& state) { state = m_push; });
        host::InstallTlsSettings(m_tls);
        host::InstallHostSettings(m_settings);
    }

private:
    host::DeviceState m_device = host::CurrentDeviceState();
    host::PushChannelState m_push = host::CurrentPushChannel();
    host::TlsSettings m_tls = host::CurrentTlsSettings();
    host::HostSettings m_settings = host::CurrentHostSettings();
};

inline void UsePolicyFile(const std::string& path) {
    host::HostSettings settings = host::CurrentHostSettings();
    settings.policy_file = path;
    host::InstallHostSettings(settings);
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

using testsupport::WaitUntil;

}  // namespace servicestest
