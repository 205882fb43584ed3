// The device facts the agent's gates read (ownership, subscription, consent), the status
// manager and the notification agent: each a direct read of the host's current state.
#include "linuxhost/device/HostStatusServices.h"

#include "linuxhost/HostState.h"

namespace ZEL {

bool DeviceManagementStatus::IsDeviceClaimedInCommercialOrg() {
    return linuxhost::CurrentDeviceState().commercial_org;
}

bool DeviceSubscriptionUtility::isConsumerDevice() {
    return linuxhost::CurrentDeviceState().consumer;
}

bool ZeroDayUtil::IsAnonymousMetricsEnabled(int /*reserved*/) {
    return linuxhost::CurrentDeviceState().anonymous_metrics;
}

namespace linuxhost {

bool HostZelStatusManager::HasCriticalError() {
    return CurrentDeviceState().critical_gateway_error;
}

bool HostNotificationAgent::IsConnected() {
    return CurrentPushChannel().connected;
}

}  // namespace linuxhost
}  // namespace ZEL
