// The device facts and status services follow the host state at run time.
#include <gtest/gtest.h>

#include "datasync/host/DeviceStatus.h"
#include "linuxhost/device/HostStatusServices.h"
#include "linuxhost/services/ServicesTestSupport.h"

namespace {

using ZEL::linuxhost::DeviceState;
using ZEL::linuxhost::UpdateDeviceState;

TEST(DeviceFacts, EachFactFollowsItsOwnFieldOfTheHostStateAtRunTime) {
    servicestest::HostStateGuard stateGuard;
    ZEL::linuxhost::HostZelStatusManager manager;
    ZEL::linuxhost::HostNotificationAgent agent;
    for (int bits = 0; bits < 16; ++bits) {
        SCOPED_TRACE(bits);
        UpdateDeviceState([bits](DeviceState& device) {
            device.commercial_org = bits & 1;
            device.consumer = bits & 2;
            device.anonymous_metrics = bits & 4;
            device.critical_gateway_error = bits & 8;
        });
        ZEL::linuxhost::UpdatePushChannel(
            [bits](ZEL::linuxhost::PushChannelState& push) { push.connected = bits & 1; });
        EXPECT_EQ(ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg(), bool(bits & 1));
        EXPECT_EQ(ZEL::DeviceSubscriptionUtility::isConsumerDevice(), bool(bits & 2));
        EXPECT_EQ(ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0), bool(bits & 4));
        EXPECT_EQ(manager.HasCriticalError(), bool(bits & 8));
        EXPECT_EQ(agent.IsConnected(), bool(bits & 1));
    }
}

}  // namespace
