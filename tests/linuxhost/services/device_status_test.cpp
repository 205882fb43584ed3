// The device facts and status services follow the host state at run time, and
// InstallDeviceServices puts the host's implementations into the agent's factories.
#include <gtest/gtest.h>

#include <memory>

#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/DeviceStatus.h"
#include "linuxhost/device/AttributeApplicabilityEvaluator.h"
#include "linuxhost/device/DeviceServices.h"
#include "linuxhost/device/HostStatusServices.h"
#include "linuxhost/services/ServicesTestSupport.h"

namespace {

using ZEL::linuxhost::DeviceState;
using ZEL::linuxhost::UpdateDeviceState;

class DeviceFacts : public ::testing::Test {
protected:
    servicestest::HostStateGuard stateGuard;
};

TEST_F(DeviceFacts, MetricsFlagsFollowTheDeviceStateAtRunTime) {
    UpdateDeviceState([](DeviceState& device) {
        device.commercial_org = true;
        device.consumer = false;
        device.anonymous_metrics = true;
    });
    EXPECT_TRUE(ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg());
    EXPECT_FALSE(ZEL::DeviceSubscriptionUtility::isConsumerDevice());
    EXPECT_TRUE(ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0));

    UpdateDeviceState([](DeviceState& device) {
        device.commercial_org = false;
        device.consumer = true;
        device.anonymous_metrics = false;
    });
    EXPECT_FALSE(ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg());
    EXPECT_TRUE(ZEL::DeviceSubscriptionUtility::isConsumerDevice());
    EXPECT_FALSE(ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0));
}

TEST_F(DeviceFacts, EachFlagIsReadFromItsOwnField) {
    UpdateDeviceState([](DeviceState& device) {
        device.commercial_org = false;
        device.consumer = false;
        device.anonymous_metrics = true;
    });
    EXPECT_FALSE(ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg());
    EXPECT_FALSE(ZEL::DeviceSubscriptionUtility::isConsumerDevice());
    EXPECT_TRUE(ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0));
}

TEST_F(DeviceFacts, CriticalErrorFollowsTheGatewayErrorFlag) {
    ZEL::linuxhost::HostZelStatusManager manager;
    UpdateDeviceState([](DeviceState& device) { device.critical_gateway_error = false; });
    EXPECT_FALSE(manager.HasCriticalError());
    UpdateDeviceState([](DeviceState& device) { device.critical_gateway_error = true; });
    EXPECT_TRUE(manager.HasCriticalError());
}

TEST_F(DeviceFacts, NotificationAgentIsConnectedExactlyWhileThePushChannelIs) {
    ZEL::linuxhost::HostNotificationAgent agent;
    ZEL::linuxhost::UpdatePushChannel([](ZEL::linuxhost::PushChannelState& push) { push.connected = true; });
    EXPECT_TRUE(agent.IsConnected());
    ZEL::linuxhost::UpdatePushChannel([](ZEL::linuxhost::PushChannelState& push) { push.connected = false; });
    EXPECT_FALSE(agent.IsConnected());
}

TEST_F(DeviceFacts, InstallDeviceServicesFillsBothFactories) {
    zel::ZELHelperFactory* helpers = zel::ZELHelperFactory::GetInstance();
    zel::AgentFactory* agents = zel::AgentFactory::GetInstance();
    const auto previousEvaluator = helpers->GetApplicablilityEvaluatorAgent();
    const auto previousManager = helpers->GetZelStatusManager();
    const auto previousAgent = agents->GetNotificationAgent();

    helpers->SetApplicabilityEvaluator(nullptr);
    helpers->SetZelStatusManager(nullptr);
    agents->SetNotificationAgent(nullptr);
    EXPECT_EQ(helpers->GetApplicablilityEvaluatorAgent(), nullptr);
    EXPECT_EQ(helpers->GetZelStatusManager(), nullptr);
    EXPECT_EQ(agents->GetNotificationAgent(), nullptr);

    ZEL::linuxhost::InstallDeviceServices();
    const auto evaluator = helpers->GetApplicablilityEvaluatorAgent();
    const auto manager = helpers->GetZelStatusManager();
    const auto agent = agents->GetNotificationAgent();
    EXPECT_NE(std::dynamic_pointer_cast<ZEL::linuxhost::AttributeApplicabilityEvaluator>(evaluator), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ZEL::linuxhost::HostZelStatusManager>(manager), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ZEL::linuxhost::HostNotificationAgent>(agent), nullptr);

    UpdateDeviceState([](DeviceState& device) { device.critical_gateway_error = true; });
    EXPECT_TRUE(helpers->GetZelStatusManager()->HasCriticalError());

    helpers->SetApplicabilityEvaluator(previousEvaluator);
    helpers->SetZelStatusManager(previousManager);
    agents->SetNotificationAgent(previousAgent);
}

TEST(HelperFactory, HandsOutWhatWasInstalled) {
    zel::ZELHelperFactory* helpers = zel::ZELHelperFactory::GetInstance();
    ASSERT_EQ(zel::ZELHelperFactory::GetInstance(), helpers);
    const auto previous = helpers->GetApplicablilityEvaluatorAgent();
    auto evaluator = std::make_shared<ZEL::linuxhost::AttributeApplicabilityEvaluator>();
    helpers->SetApplicabilityEvaluator(evaluator);
    EXPECT_EQ(helpers->GetApplicablilityEvaluatorAgent(), evaluator);
    helpers->SetApplicabilityEvaluator(previous);
}

}  // namespace
