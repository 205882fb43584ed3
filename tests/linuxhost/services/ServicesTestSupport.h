// Helpers shared by the host-service tests: a guard that restores the host's run-time state
// after a test changes it, a bounded wait for a condition, and file writing.
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "linuxhost/HostState.h"
#include "support/WaitUntil.h"

namespace servicestest {

// Saves the whole host state on construction and puts it back on destruction.
class HostStateGuard {
public:
    HostStateGuard()
        : m_device(ZEL::linuxhost::CurrentDeviceState()),
          m_push(ZEL::linuxhost::CurrentPushChannel()),
          m_tls(ZEL::linuxhost::CurrentTlsSettings()),
          m_settings(ZEL::linuxhost::CurrentHostSettings()) {}
    ~HostStateGuard() {
        ZEL::linuxhost::UpdateDeviceState([this](ZEL::linuxhost::DeviceState& state) { state = m_device; });
        ZEL::linuxhost::UpdatePushChannel(
            [this](ZEL::linuxhost::PushChannelState& state) { state = m_push; });
        ZEL::linuxhost::InstallTlsSettings(m_tls);
        ZEL::linuxhost::InstallHostSettings(m_settings);
    }
    HostStateGuard(const HostStateGuard&) = delete;
    HostStateGuard& operator=(const HostStateGuard&) = delete;

private:
    ZEL::linuxhost::DeviceState m_device;
    ZEL::linuxhost::PushChannelState m_push;
    ZEL::linuxhost::TlsSettings m_tls;
    ZEL::linuxhost::HostSettings m_settings;
};

inline void UsePolicyFile(const std::string& path) {
    ZEL::linuxhost::HostSettings settings = ZEL::linuxhost::CurrentHostSettings();
    settings.policy_file = path;
    ZEL::linuxhost::InstallHostSettings(settings);
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

using testsupport::WaitUntil;

}  // namespace servicestest
