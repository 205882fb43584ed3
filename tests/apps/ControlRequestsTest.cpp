// The control requests: what each command changes or publishes, and the errors that name the
// member at fault. Runs against a real notification bus and the real host state; the agent is
// replaced by hooks that record their calls.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/StringUtil.h"
#include "datasyncd/ControlRequests.h"
#include "linuxhost/HostState.h"
#include "linuxhost/bus/NotificationBus.h"

namespace {

using ZEL::linuxhost::DeviceState;
using ZEL::linuxhost::PushChannelState;

Json::Value Parse(const std::string& line) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &value, &errors)) << line << errors;
    return value;
}

// Records what the bus delivers.
class Received {
public:
    explicit Received(ZEL::linuxhost::NotificationBus& bus) {
        bus.Subscribe(
            [this](ZEL::ZELNotificationData& data) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_items.push_back(data);
                m_changed.notify_all();
            },
            false);
    }
    // The first `count` notifications, waiting for them at most two seconds.
    std::vector<ZEL::ZELNotificationData> First(size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(2), [&] { return m_items.size() >= count; });
        return m_items;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<ZEL::ZELNotificationData> m_items;
};

class ControlRequestsTest : public ::testing::Test {
protected:
    ControlRequestsTest() : received(bus) {
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
        hooks.purge = [this] { ++purgeCalls; };
        hooks.addDeviceContext = [this](std::int64_t id) { addedIds.push_back(id); };
        hooks.purgeNote = "purge note";
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

    // The error of a refused request (fails the test when it was accepted).
    std::string ErrorOf(const std::string& line) {
        const Json::Value answer = Ask(line);
        EXPECT_FALSE(answer["ok"].asBool()) << line;
        return answer["error"].asString();
    }

    ZEL::linuxhost::NotificationBus bus;
    Received received;
    DeviceState savedDevice;
    PushChannelState savedPush;
    int statusCalls = 0;
    int purgeCalls = 0;
    int deliveryWaits = 0;
    std::vector<std::int64_t> addedIds;
    std::unique_ptr<datasyncd::ControlRequests> requests;
};

TEST_F(ControlRequestsTest, StatusCombinesTheAgentSnapshotWithTheHostState) {
    ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) {
        device.id = "dev-42";
        device.attributes["os_name"] = "Linux";
    });
    const Json::Value answer = Ask(R"({"cmd":"status"})");
    EXPECT_TRUE(answer["ok"].asBool());
    EXPECT_EQ(statusCalls, 1);
    EXPECT_TRUE(answer["status"]["agent"]["started"].asBool());
    EXPECT_EQ(answer["host"]["device"]["id"].asString(), "dev-42");
    EXPECT_EQ(answer["host"]["device"]["attributes"]["os_name"].asString(), "Linux");
    EXPECT_TRUE(answer["host"]["push_channel"].isMember("connected"));
    EXPECT_TRUE(answer["host"]["folders"].isMember("state_dir"));
}

TEST_F(ControlRequestsTest, AnswersAreSingleLines) {
    const std::string answer = requests->HandleLine(R"({"cmd":"status"})");
    EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
}

TEST_F(ControlRequestsTest, SetDeviceOnlineChangesTheStateAndAnnouncesIt) {
    Json::Value answer = Ask(R"({"cmd":"set","key":"device.online","value":"false"})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer;
    EXPECT_FALSE(ZEL::linuxhost::CurrentDeviceState().online);
    answer = Ask(R"({"cmd":"set","key":"device.online","value":"true"})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer;
    EXPECT_TRUE(ZEL::linuxhost::CurrentDeviceState().online);

    const auto items = received.First(2);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].getTopicId(), 6);
    EXPECT_EQ(items[0].getEventState(), 41);
    EXPECT_EQ(items[1].getTopicId(), 6);
    EXPECT_EQ(items[1].getEventState(), 0);
    EXPECT_EQ(deliveryWaits, 2) << "each answer waits for the delivery of what it published";
}

TEST_F(ControlRequestsTest, SetDeviceRegisteredAnnouncesRegistrationDoneOrChanged) {
    ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) { device.id = "dev-7"; });
    ASSERT_TRUE(Ask(R"({"cmd":"set","key":"device.registered","value":"false"})")["ok"].asBool());
    EXPECT_FALSE(ZEL::linuxhost::CurrentDeviceState().registered);
    ASSERT_TRUE(Ask(R"({"cmd":"set","key":"device.registered","value":"true"})")["ok"].asBool());
    EXPECT_TRUE(ZEL::linuxhost::CurrentDeviceState().registered);

    auto items = received.First(2);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].getTopicId(), 2);
    EXPECT_EQ(items[0].getEventState(), 12);
    EXPECT_EQ(items[1].getTopicId(), 2);
    EXPECT_EQ(items[1].getEventState(), 0);
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = -1;
    ASSERT_TRUE(items[1].deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code));
    EXPECT_TRUE(success);
    EXPECT_EQ(deviceId, L"dev-7");
    EXPECT_EQ(triggerSource, L"InvokeManualRegistration");
    EXPECT_EQ(code, 0);
}

TEST_F(ControlRequestsTest, SetChangesTextsFlagsAttributesAndThePushChannelWithoutPublishing) {
    for (const char* line : {
             R"({"cmd":"set","key":"device.id","value":"dev-9"})",
             R"({"cmd":"set","key":"device.realm","value":"eu"})",
             R"({"cmd":"set","key":"device.consumer","value":"true"})",
             R"({"cmd":"set","key":"device.critical_gateway_error","value":"true"})",
             R"({"cmd":"set","key":"device.attributes.model","value":"X1"})",
             R"({"cmd":"set","key":"push_channel.mode","value":"mqtt"})",
             R"({"cmd":"set","key":"push_channel.suppression","value":"all"})",
             R"({"cmd":"set","key":"push_channel.connected","value":"true"})",
         }) {
        const Json::Value answer = Ask(line);
        EXPECT_TRUE(answer["ok"].asBool()) << line << answer;
    }
    const DeviceState device = ZEL::linuxhost::CurrentDeviceState();
    EXPECT_EQ(device.id, "dev-9");
    EXPECT_EQ(device.realm, "eu");
    EXPECT_TRUE(device.consumer);
    EXPECT_TRUE(device.critical_gateway_error);
    EXPECT_EQ(device.attributes.at("model"), "X1");
    const PushChannelState push = ZEL::linuxhost::CurrentPushChannel();
    EXPECT_EQ(push.mode, "mqtt");
    EXPECT_EQ(push.suppression, "all");
    EXPECT_TRUE(push.connected);
    EXPECT_TRUE(bus.WaitIdle(std::chrono::seconds(2)));
    EXPECT_EQ(received.Count(), 0u);

    ASSERT_TRUE(Ask(R"({"cmd":"set","key":"device.attributes.model","value":""})")["ok"].asBool());
    EXPECT_EQ(ZEL::linuxhost::CurrentDeviceState().attributes.count("model"), 0u) << "an empty value removes it";
}

TEST_F(ControlRequestsTest, SetRefusesUnknownKeysAndBadValuesNamingThem) {
    const DeviceState before = ZEL::linuxhost::CurrentDeviceState();
    EXPECT_NE(ErrorOf(R"({"cmd":"set","key":"device.colour","value":"red"})").find("\"device.colour\""),
              std::string::npos);
    EXPECT_NE(ErrorOf(R"({"cmd":"set","key":"device.attributes.","value":"x"})").find("\"device.attributes.\""),
              std::string::npos);
    EXPECT_EQ(ErrorOf(R"({"cmd":"set","key":"device.online","value":"yes"})"),
              "device.online: expected true or false, got \"yes\"");
    EXPECT_EQ(ErrorOf(R"({"cmd":"set","key":"device.id","value":5})"), "device.id: expected a string value");
    EXPECT_EQ(ErrorOf(R"({"cmd":"set","key":"device.online"})"), "value: missing");
    EXPECT_EQ(ZEL::linuxhost::CurrentDeviceState().online, before.online);
    EXPECT_EQ(received.Count(), 0u);
}

TEST_F(ControlRequestsTest, NotifyPublishesTopicStateAndPayload) {
    const Json::Value answer = Ask(R"({"cmd":"notify","topic":5,"state":16,"payload":"{\"a\":1}"})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer;
    const auto items = received.First(1);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].getTopicId(), 5);
    EXPECT_EQ(items[0].getEventState(), 16);
    EXPECT_EQ(items[0].getPayload(), L"{\"a\":1}");
    EXPECT_FALSE(items[0].isKTANotification());
}

TEST_F(ControlRequestsTest, NotifyNamesMissingOrMistypedMembers) {
    EXPECT_EQ(ErrorOf(R"({"cmd":"notify","state":0})"), "topic: missing");
    EXPECT_EQ(ErrorOf(R"({"cmd":"notify","topic":"six","state":0})"), "topic: expected a whole number");
    EXPECT_EQ(ErrorOf(R"({"cmd":"notify","topic":6,"state":0,"payload":{}})"), "payload: expected a string");
    EXPECT_EQ(ErrorOf(R"({"cmd":"notify","topic":6,"state":0,"colour":1})"), "notify: unknown member \"colour\"");
    EXPECT_EQ(received.Count(), 0u);
}

TEST_F(ControlRequestsTest, CommandPublishesAServerCommandWithItsFields) {
    const Json::Value answer = Ask(
        R"({"cmd":"command","action":"run","message":"sendTelemetry","fields":{"datasets":"CPUEvent","allDatasets":"false"}})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer;
    const auto items = received.First(1);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].isKTANotification());
    EXPECT_EQ(items[0].getActionType(), L"run");
    EXPECT_EQ(items[0].getMessageType(), L"sendTelemetry");
    EXPECT_EQ(items[0].getFieldValue(L"datasets"), L"CPUEvent");
    EXPECT_EQ(items[0].getFieldValue(L"allDatasets"), L"false");
}

TEST_F(ControlRequestsTest, CommandNamesBadFields) {
    EXPECT_EQ(ErrorOf(R"({"cmd":"command","message":"m"})"), "action: missing");
    EXPECT_EQ(ErrorOf(R"({"cmd":"command","action":"run","message":"m","fields":{"n":1}})"),
              "fields.n: expected a string");
    EXPECT_EQ(ErrorOf(R"({"cmd":"command","action":"run","message":"m","fields":[]})"),
              "fields: expected an object of strings");
}

TEST_F(ControlRequestsTest, PurgeReachesTheAgentAndPassesOnItsNote) {
    const Json::Value answer = Ask(R"({"cmd":"purge"})");
    EXPECT_TRUE(answer["ok"].asBool());
    EXPECT_EQ(purgeCalls, 1);
    EXPECT_EQ(answer["note"].asString(), "purge note");
}

TEST_F(ControlRequestsTest, AddDeviceContextHandsTheIdToTheAgent) {
    const Json::Value answer = Ask(R"({"cmd":"add-device-context","id":9007199254740993})");
    EXPECT_TRUE(answer["ok"].asBool()) << answer;
    ASSERT_EQ(addedIds.size(), 1u);
    EXPECT_EQ(addedIds[0], 9007199254740993LL);
    EXPECT_EQ(answer["note"].asString(), "queue note");
    EXPECT_EQ(ErrorOf(R"({"cmd":"add-device-context","id":0})"),
              "id: expected a positive whole number (a DeviceContext record id)");
    EXPECT_EQ(ErrorOf(R"({"cmd":"add-device-context","id":"7"})"),
              "id: expected a positive whole number (a DeviceContext record id)");
    EXPECT_EQ(addedIds.size(), 1u);
}

TEST_F(ControlRequestsTest, MalformedRequestsAreRefusedWithAReason) {
    EXPECT_NE(ErrorOf("{\"cmd\":").find("request is not valid JSON"), std::string::npos);
    EXPECT_EQ(ErrorOf("[1]"), "request must be a JSON object");
    EXPECT_EQ(ErrorOf("{}"), "cmd: missing");
    EXPECT_NE(ErrorOf(R"({"cmd":"reboot"})").find("unknown command \"reboot\""), std::string::npos);
    EXPECT_EQ(ErrorOf(R"({"cmd":"status","verbose":true})"), "status: unknown member \"verbose\"");
    EXPECT_EQ(statusCalls, 0);
}

}  // namespace
