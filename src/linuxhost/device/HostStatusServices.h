// Small status services of the Linux host, each answering from its run-time state at each call:
// the device facts (device.commercial_org, device.consumer, device.anonymous_metrics), the
// critical-gateway-error status (device.critical_gateway_error) and the notification agent that
// tells whether the push channel is connected (push_channel.connected).
//
// None keeps state of its own, so a change made through the control socket or a test's
// UpdateDeviceState / UpdatePushChannel shows at the next call.
// Thread safety: stateless; callable from any thread.
#pragma once

#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/DeviceStatus.h"

namespace ZEL {
namespace linuxhost {

class HostDeviceFacts : public DeviceFacts {
public:
    bool IsDeviceClaimedInCommercialOrg() override;
    bool IsConsumerDevice() override;
    bool IsAnonymousMetricsEnabled() override;
};

class HostZelStatusManager : public ZelStatusManager {
public:
    bool HasCriticalError() override;
};

class HostNotificationAgent : public AgentInterface::Notification::INotificationAgent {
public:
    bool IsConnected() override;
};

}  // namespace linuxhost
}  // namespace ZEL
