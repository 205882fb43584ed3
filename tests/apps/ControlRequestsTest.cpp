// The control requests: what each command changes or publishes, and the errors that name the
// member at fault. Runs against a real notification bus and the real host state; the agent is
// replaced by hooks that record their calls.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "datasync/host/StringUtil.h"
#include "datasyncd/ControlRequests.h"
#include "linuxhost/HostState.h"
#include "linuxhost/bus/NotificationBus.h"
#include "support/LogCapture.h"

namespace {

using ZEL::linuxhost::DeviceState;
using ZEL::linuxhost::PushChannelState;

Json::Value Parse(const std::string& line) {
    Json::Value value;
    EXPECT_TRUE(std::istringstream(line) >> value) << line;
    return value;
}

class ControlRequestsTest : public ::testing::Test {
protected:
    ControlRequestsTest() {
        // Every answer waits for the delivery of what its request published (the hook below),
        // so the record is complete when the answer is.
        bus.Subscribe(
            [this](ZEL::ZELNotificationData& data) {
                std::lock_guard<std::mutex> lock(mutex);
                items.push_back(data);
            },
            false);
        savedDevice = ZEL::linuxhost::CurrentDeviceState();
        savedPush = ZEL::linuxhost::CurrentPushChannel();
        ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) { device = DeviceState(); });
        ZEL::linuxhost::UpdatePushChannel([](PushChannelState& push) { push = PushChannelState(); });

        datasyncd::ControlRequests::AgentHooks hooks;
        hooks.statusSnapshot = [this] {
            ++statusCalls;
            Json::Value snapshot(Json::objectValue);
            snapshot["agent"]["started"] = true;
            return snapshot;
        };
        hooks.purge = [this] {
            ++purgeCalls;
            Json::Value report;
            report["ok"] = purgeCalls == 1;
            report["error"] = purgeCalls == 1 ? "" : "shared telemetry purge: impersonation failed";
            return report;
        };
        hooks.resume = [this] { return resumeRefusal; };
        hooks.addDeviceContext = [this](std::int64_t id) { addedIds.push_back(id); };
        hooks.addDeviceContextNote = "queue note";
        requests = std::make_unique<datasyncd::ControlRequests>(hooks, &bus, [this] {
            ++deliveryWaits;
            bus.WaitIdle(std::chrono::seconds(2));
        });
    }
    ~ControlRequestsTest() override {
        bus.Shutdown();
        ZEL::linuxhost::UpdateDeviceState([this](DeviceState& device) { device = savedDevice; });
        ZEL::linuxhost::UpdatePushChannel([this](PushChannelState& push) { push = savedPush; });
    }

    Json::Value Ask(const std::string& line) { return Parse(requests->HandleLine(line)); }

    std::vector<ZEL::ZELNotificationData> Items() {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }

    ZEL::linuxhost::NotificationBus bus;
    std::mutex mutex;
    std::vector<ZEL::ZELNotificationData> items;  // guarded by mutex
    DeviceState savedDevice;
    PushChannelState savedPush;
    int statusCalls = 0;
    int purgeCalls = 0;
    std::string resumeRefusal;
    int deliveryWaits = 0;
    std::vector<std::int64_t> addedIds;
    std::unique_ptr<datasyncd::ControlRequests> requests;
};

TEST_F(ControlRequestsTest, StatusCombinesTheAgentSnapshotWithTheHostStateOnOneLine) {
    ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) {
        device.id = "dev-42";
        device.attributes["os_name"] = "Linux";
    });
    const std::string line = requests->HandleLine(R"({"cmd":"status"})");
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    const Json::Value answer = Parse(line);
    EXPECT_TRUE(answer["ok"].asBool());
    EXPECT_EQ(statusCalls, 1);
    EXPECT_TRUE(answer["status"]["agent"]["started"].asBool());
    EXPECT_EQ(answer["host"]["device"]["id"].asString(), "dev-42");
    EXPECT_EQ(answer["host"]["device"]["attributes"]["os_name"].asString(), "Linux");
    EXPECT_TRUE(answer["host"]["push_channel"].isMember("connected"));
    EXPECT_TRUE(answer["host"]["folders"].isMember("state_dir"));
}

// Online and registered are announced (topic, state) before the answer; the other keys are not.
TEST_F(ControlRequestsTest, SetChangesTheStateAndAnnouncesOnlineAndRegisteredBeforeAnswering) {
    ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) { device.id = "dev-7"; });
    const struct {
        const char* key;
        const char* value;
        int topic, state;  // topic 0: nothing published
    } cases[] = {{"device.online", "false", 6, 41},       {"device.online", "true", 6, 0},
                 {"device.registered", "false", 2, 12},   {"device.registered", "true", 2, 0},
                 {"device.attributes.model", "X1", 0, 0}, {"device.attributes.os_name", "", 0, 0},
                 {"push_channel.mode", "mqtt", 0, 0},     {"device.id", "dev-9", 0, 0}};
    std::vector<std::pair<int, int>> announced;
    for (const auto& c : cases) {
        const Json::Value answer =
            Ask(std::string(R"({"cmd":"set","key":")") + c.key + R"(","value":")" + c.value + "\"}");
        ASSERT_TRUE(answer["ok"].asBool()) << answer;
        if (c.topic != 0) announced.emplace_back(c.topic, c.state);
    }
    const DeviceState device = ZEL::linuxhost::CurrentDeviceState();
    EXPECT_TRUE(device.online && device.registered);
    EXPECT_EQ(device.id, "dev-9");
    EXPECT_EQ(device.attributes, (std::map<std::string, std::string>{{"model", "X1"}})) << "an empty value removes";
    EXPECT_EQ(ZEL::linuxhost::CurrentPushChannel().mode, "mqtt");
    EXPECT_EQ(deliveryWaits, 4) << "each answer waits for the delivery of what it published";
    const auto delivered = Items();
    std::vector<std::pair<int, int>> got;
    for (const auto& item : delivered) got.emplace_back(item.getTopicId(), item.getEventState());
    ASSERT_EQ(got, announced);
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = -1;
    ASSERT_TRUE(delivered[3].deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code));
    EXPECT_TRUE(success);
    EXPECT_EQ(deviceId, L"dev-7");
    EXPECT_EQ(triggerSource, L"InvokeManualRegistration");
}

TEST_F(ControlRequestsTest, NotifyAndCommandPublishWhatTheyAreGiven) {
    ASSERT_TRUE(Ask(R"({"cmd":"notify","topic":5,"state":16,"payload":"{\"a\":1}"})")["ok"].asBool());
    ASSERT_TRUE(Ask(R"({"cmd":"command","action":"run","message":"sendTelemetry","fields":{"datasets":"CPUEvent"}})")
                    ["ok"].asBool());
    const auto delivered = Items();  // each answer came after its delivery
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].getTopicId(), 5);
    EXPECT_EQ(delivered[0].getEventState(), 16);
    EXPECT_EQ(delivered[0].getPayload(), L"{\"a\":1}");
    EXPECT_FALSE(delivered[0].isKTANotification());
    EXPECT_TRUE(delivered[1].isKTANotification());
    EXPECT_EQ(delivered[1].getActionType(), L"run");
    EXPECT_EQ(delivered[1].getMessageType(), L"sendTelemetry");
    EXPECT_EQ(delivered[1].getFieldValue(L"datasets"), L"CPUEvent");
}

TEST_F(ControlRequestsTest, PurgeResumeAndAddDeviceContextReachTheAgentAndSayWhatHappened) {
    Json::Value answer = Ask(R"({"cmd":"purge"})");
    EXPECT_TRUE(answer["ok"].asBool());
    EXPECT_EQ(purgeCalls, 1);
    EXPECT_TRUE(answer["purged"]["ok"].asBool());
    answer = Ask(R"({"cmd":"purge"})");
    EXPECT_FALSE(answer["ok"].asBool()) << "a failed purge is no success";
    EXPECT_EQ(answer["error"].asString(), "purge failed: shared telemetry purge: impersonation failed");
    resumeRefusal = "no purge has completed yet";
    EXPECT_EQ(Ask(R"({"cmd":"resume"})")["error"].asString(), "resume: no purge has completed yet");
    resumeRefusal.clear();
    EXPECT_TRUE(Ask(R"({"cmd":"resume"})")["resumed"].asBool());
    answer = Ask(R"({"cmd":"add-device-context","id":9007199254740993})");
    EXPECT_TRUE(answer["ok"].asBool()) << answer;
    EXPECT_EQ(addedIds, std::vector<std::int64_t>{9007199254740993LL});
    EXPECT_EQ(answer["note"].asString(), "queue note");
}

TEST_F(ControlRequestsTest, BadRequestsAreRefusedNamingTheMemberAtFaultAndChangeNothing) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"cmd\":", "request is not valid JSON"},
        {"[1]", "request must be a JSON object"},
        {"{}", "cmd: missing"},
        {R"({"cmd":"reboot"})", "unknown command \"reboot\""},
        {R"({"cmd":"status","verbose":true})", "status: unknown member \"verbose\""},
        {R"({"cmd":"set","key":"device.colour","value":"red"})", "\"device.colour\""},
        {R"({"cmd":"set","key":"device.online","value":"yes"})", "device.online: expected true or false, got \"yes\""},
        {R"({"cmd":"set","key":"device.id","value":5})", "device.id: expected a string value"},
        {R"({"cmd":"notify","topic":"six","state":0})", "topic: expected a whole number"},
        {R"({"cmd":"command","action":"run","message":"m","fields":{"n":1}})", "fields.n: expected a string"},
        {R"({"cmd":"add-device-context","id":0})", "id: expected a positive whole number (a DeviceContext record id)"}};

    const bool onlineBefore = ZEL::linuxhost::CurrentDeviceState().online;
    for (const auto& c : cases) {
        const Json::Value answer = Ask(c.first);
        EXPECT_FALSE(answer["ok"].asBool()) << c.first;
        EXPECT_NE(answer["error"].asString().find(c.second), std::string::npos) << c.first << answer;
    }
    EXPECT_EQ(ZEL::linuxhost::CurrentDeviceState().online, onlineBefore);
    EXPECT_EQ(statusCalls, 0);
    EXPECT_TRUE(addedIds.empty());
    EXPECT_TRUE(Items().empty());
}

TEST(ControlAccess, RootAndTheDaemonUserMayDoAllTheReadGroupMayRead) {
    using datasyncd::ControlAccess;
    const gid_t readers = 900;
    const struct {
        bool known;
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
        bool withReadGroup;
        ControlAccess expected;
    } cases[] = {
        {true, 0, 0, {}, false, ControlAccess::Full},                  // root
        {true, 1000, 50, {}, false, ControlAccess::Full},              // the daemon's user
        {true, 1001, 900, {}, false, ControlAccess::None},             // no read group configured
        {true, 1001, 900, {}, true, ControlAccess::ReadOnly},          // primary group
        {true, 1001, 100, {7, 900}, true, ControlAccess::ReadOnly},    // supplementary group
        {true, 1001, 100, {7, 901}, true, ControlAccess::None},
        {false, 0, 0, {}, true, ControlAccess::None},                  // credentials unknown
    };
    for (const auto& c : cases) {
        datasyncd::PeerCredentials peer;
        peer.known = c.known;
        peer.uid = c.uid;
        peer.gid = c.gid;
        peer.groups = c.groups;
        datasyncd::ControlAccessRules rules;
        rules.daemonUid = 1000;
        if (c.withReadGroup) rules.readGroup = readers;
        EXPECT_EQ(datasyncd::DecideControlAccess(peer, rules), c.expected) << "uid " << c.uid << " gid " << c.gid;
    }
}

TEST_F(ControlRequestsTest, RefusedRequestsAreAnsweredAndLoggedAndChangeNothing) {
    testsupport::LogCapture log;
    using datasyncd::ControlAccess;
    auto ask = [this](const std::string& line, ControlAccess access) {
        return Parse(requests->HandleLine(line, access, "uid 1001, gid 900, pid 42"));
    };
    EXPECT_TRUE(ask(R"({"cmd":"status"})", ControlAccess::ReadOnly)["ok"].asBool());
    const bool online = ZEL::linuxhost::CurrentDeviceState().online;
    const Json::Value set = ask(std::string(R"({"cmd":"set","key":"device.online","value":)") +
                                    (online ? "false}" : "true}"),
                                ControlAccess::ReadOnly);
    EXPECT_FALSE(set["ok"].asBool());
    EXPECT_EQ(set["error"].asString().rfind("set: refused for uid 1001, gid 900, pid 42: changes need root", 0), 0u)
        << set;
    EXPECT_EQ(ZEL::linuxhost::CurrentDeviceState().online, online);
    const Json::Value status = ask(R"({"cmd":"status"})", ControlAccess::None);
    EXPECT_FALSE(status["ok"].asBool());
    EXPECT_NE(status["error"].asString().find("status: refused"), std::string::npos) << status;
    EXPECT_EQ(statusCalls, 1);
    EXPECT_TRUE(log.Contains("control socket: refused \"set\" from uid 1001, gid 900, pid 42", "host.log"));
}

}  // namespace
