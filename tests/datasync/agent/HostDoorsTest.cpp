// The doors onto the installed environment: each answers the object installed, and its stated
// fallback once an empty environment is installed; ImpersonateUser drives the installed switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/common/ImpersonateUser.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Transport.h"
#include "support/FakeConfigAgent.h"
#include "support/FakeTransport.h"
#include "support/ManualClock.h"

namespace {

using ZEL::DataSync::AgentEnvironment;

struct Facts : ZEL::DeviceFacts {
    bool IsDeviceClaimedInCommercialOrg() override { return true; }
    bool IsConsumerDevice() override { return true; }
    bool IsAnonymousMetricsEnabled() override { return true; }
};

struct Events : ZEL::CriticalEvents {
    void Log(int id, int value) override { active.emplace(id, value); }
    void ResetError(int id, int) override { active.erase({id, 1}); }
    std::set<std::pair<int, int>> Active() override { return active; }
    std::set<std::pair<int, int>> active;
};

// Records what the module asked of the host's user switches.
struct Switches : ZEL::Impersonation {
    struct Switch : ZEL::UserSwitch {
        explicit Switch(std::vector<std::string>& calls) : calls(calls) { calls.push_back("new"); }
        ~Switch() override { calls.push_back("destroyed"); }
        int EnterLogOnUserMode() override { return calls.push_back("enter"), 1314; }
        void ExitLogOnUserMode() override { calls.push_back("exit"); }
        std::vector<std::string>& calls;
    };
    std::unique_ptr<ZEL::UserSwitch> NewSwitch() override { return std::make_unique<Switch>(calls); }
    bool IsAdmin() override { return true; }
    std::vector<std::string> calls;
};

class HostDoorsTest : public ::testing::Test {
protected:
    void TearDown() override { ZEL::DataSync::InstallEnvironment({}); }
};

TEST_F(HostDoorsTest, EachDoorAnswersTheInstalledObjectAndItsFallbackWithout) {
    testsupport::ManualClock clock(testsupport::FromUnixMillis(0));
    testsupport::FakeTransport transport;
    testsupport::FakeConfigAgent config;
    Facts facts;
    Events events;
    Switches switches;
    AgentEnvironment environment;
    environment.clock = &clock;
    environment.transport = &transport;
    environment.config = &config;
    environment.device = &facts;
    environment.criticalEvents = &events;
    environment.impersonation = &switches;

    struct Door {
        const char* name;
        std::function<bool()> answersInstalled;
        std::function<bool()> answersFallback;
    };
    const std::vector<Door> doors = {
        {"clock", [&] { return ZEL::Clock::GetInstance() == &clock; },
         [&] { return ZEL::Clock::GetInstance() != nullptr && ZEL::Clock::GetInstance() != &clock; }},
        {"transport", [&] { return ZEL::CoreUtility::GetInstance() == &transport; },
         [] { return ZEL::CoreUtility::GetInstance() == nullptr; }},
        {"config agent", [&] { return ZEL::ConfigPolicyAgent::GetInstance() == &config; },
         [] { return ZEL::ConfigPolicyAgent::GetInstance() == nullptr; }},
        {"device facts",
         [] {
             return ZEL::DeviceManagementStatus::IsDeviceClaimedInCommercialOrg() &&
                    ZEL::DeviceSubscriptionUtility::isConsumerDevice() &&
                    ZEL::ZeroDayUtil::IsAnonymousMetricsEnabled(0);
         },
         [] { return !ZEL::DeviceSubscriptionUtility::isConsumerDevice(); }},
        {"critical events",
         [] {
             ZEL::CriticalEventLogger::Log(7, 1);
             return ZEL::CriticalEventLogger::Active() == std::set<std::pair<int, int>>{{7, 1}};
         },
         [] {
             ZEL::CriticalEventLogger::Log(7, 1);
             return ZEL::CriticalEventLogger::Active().empty();
         }},
        {"admin", [] { return ZEL::System::check_admin_privilege(); },
         [] { return !ZEL::System::check_admin_privilege(); }},
    };
    ZEL::DataSync::InstallEnvironment(environment);
    for (const Door& door : doors) EXPECT_TRUE(door.answersInstalled()) << door.name;
    ZEL::DataSync::InstallEnvironment({});
    for (const Door& door : doors) EXPECT_TRUE(door.answersFallback()) << door.name;
}

TEST_F(HostDoorsTest, ImpersonateUserDrivesOneSwitchOfTheInstalledHostAndNoneWithout) {
    Switches switches;
    AgentEnvironment environment;
    environment.impersonation = &switches;
    ZEL::DataSync::InstallEnvironment(environment);
    {
        ZEL::ImpersonateUser user;
        EXPECT_EQ(user.EnterLogOnUserMode(), 1314) << "the host's answer";
        user.ExitLogOnUserMode();
    }
    EXPECT_EQ(switches.calls, (std::vector<std::string>{"new", "enter", "exit", "destroyed"}));

    ZEL::DataSync::InstallEnvironment({});
    ZEL::ImpersonateUser user;
    EXPECT_EQ(user.EnterLogOnUserMode(), 0) << "nothing to switch";
    EXPECT_EQ(switches.calls.size(), 4u);
}

}  // namespace
