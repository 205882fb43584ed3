// The device facts the agent's gates read (ownership, subscription, consent), the status
// manager and the notification agent: each a direct read of the host's current state.
#include "linuxhost/device/HostStatusServices.h"

#include "linuxhost/HostState.h"

namespace ZEL {
namespace linuxhost {

bool HostDeviceFacts::IsDeviceClaimedInCommercialOrg() {
    return CurrentDeviceState().commercial_org;
}

bool HostDeviceFacts::IsConsumerDevice() {
    return CurrentDeviceState().consumer;
}

bool HostDeviceFacts::IsAnonymousMetricsEnabled() {
    return CurrentDeviceState().anonymous_metrics;
}

bool HostZelStatusManager::HasCriticalError() {
    return CurrentDeviceState().critical_gateway_error;
}

bool HostNotificationAgent::IsConnected() {
    return CurrentPushChannel().connected;
}

}  // namespace linuxhost
}  // namespace ZEL
