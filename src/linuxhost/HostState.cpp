// Process-wide storage of the host's run-time state.
#include "linuxhost/HostState.h"

#include <mutex>

namespace ZEL {
namespace linuxhost {
namespace {

std::mutex g_stateMutex;
DeviceState g_device;
PushChannelState g_pushChannel;
TlsSettings g_tls;
HostSettings g_settings;

}  // namespace

DeviceState CurrentDeviceState() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_device;
}

void UpdateDeviceState(const std::function<void(DeviceState&)>& change) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    change(g_device);
}

PushChannelState CurrentPushChannel() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_pushChannel;
}

void UpdatePushChannel(const std::function<void(PushChannelState&)>& change) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    change(g_pushChannel);
}

TlsSettings CurrentTlsSettings() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_tls;
}

void InstallTlsSettings(const TlsSettings& settings) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_tls = settings;
}

HostSettings CurrentHostSettings() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_settings;
}

void InstallHostSettings(const HostSettings& settings) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_settings = settings;
}

}  // namespace linuxhost
}  // namespace ZEL
