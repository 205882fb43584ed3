// Helpers of the host-service tests: a guard that restores the host's run-time state, file writing.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "linuxhost/HostState.h"
#include "support/WaitUntil.h"

namespace servicestest {

namespace host = ZEL::linuxhost;
using namespace std::chrono_literals;
using testsupport::WaitUntil;

// Saves the whole host state on construction and puts it back on destruction.
struct HostStateGuard {
    ~HostStateGuard() {
        host::UpdateDeviceState([this](host::DeviceState& state) { state = device; });
        host::UpdatePushChannel([this](host::PushChannelState& state) { state = push; });
        host::InstallTlsSettings(tls);
        host::InstallHostSettings(settings);
    }
    const host::DeviceState device = host::CurrentDeviceState();
    const host::PushChannelState push = host::CurrentPushChannel();
    const host::TlsSettings tls = host::CurrentTlsSettings();
    const host::HostSettings settings = host::CurrentHostSettings();
};

inline void UsePolicyFile(const std::string& path) {
    host::HostSettings settings = host::CurrentHostSettings();
    settings.policy_file = path;
    host::InstallHostSettings(settings);
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace servicestest
