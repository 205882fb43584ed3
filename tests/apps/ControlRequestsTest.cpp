// The control requests against a real notification bus and the real host state; the agent is
// replaced by hooks that record their calls.
#include <gtest/gtest.h>

#include <mutex>

#include "datasyncd/ControlRequests.h"
#include "linuxhost/HostState.h"
#include "linuxhost/bus/NotificationBus.h"
#include "support/LogCapture.h"

namespace {

using datasyncd::ControlAccess;
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
        bus.Subscribe([this](ZEL::ZELNotificationData& data) { std::lock_guard<std::mutex> l(mutex); items.push_back(data); },
                      false);
        ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) { device = DeviceState(); });
        ZEL::linuxhost::UpdatePushChannel([](PushChannelState& push) { push = PushChannelState(); });
        datasyncd::ControlRequests::AgentHooks hooks;
        hooks.statusSnapshot = [this] {
            ++statusCalls;
            return Parse(R"({"agent":{"started":true}})");
        };
        hooks.purge = [this] {
            return Parse(++purgeCalls == 1 ? R"({"ok":true})" : R"({"ok":false,"error":"shared telemetry purge: impersonation failed"})");
        };
        hooks.resume = [this] { return resumeRefusal; };
        hooks.addDeviceContext = [this](std::int64_t id) {
            if (id == 5) return std::string("no record 5 in /db/DeviceContext.sqlite3");
            addedIds.push_back(id);
            return std::string();
        };
        hooks.addDeviceContextNote = "queue note";
        // Every answer waits for the delivery of what its request published.
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
    const DeviceState savedDevice = ZEL::linuxhost::CurrentDeviceState();
    const PushChannelState savedPush = ZEL::linuxhost::CurrentPushChannel();
    int statusCalls = 0, purgeCalls = 0, deliveryWaits = 0;
    std::string resumeRefusal;
    std::vector<std::int64_t> addedIds;
    std::unique_ptr<datasyncd::ControlRequests> requests;
};

TEST_F(ControlRequestsTest, SetChangesTheStateAndAnnouncesOnlineAndRegisteredBeforeAnswering) {
    ZEL::linuxhost::UpdateDeviceState([](DeviceState& device) { device.id = "dev-7"; });
    const struct {
        const char *key, *value;
        int topic, state;  // topic 0: nothing published
    } cases[] = {{"device.online", "false", 6, 41},       {"device.online", "true", 6, 0},
                 {"device.registered", "false", 2, 12},   {"device.registered", "true", 2, 0},
                 {"device.attributes.model", "X1", 0, 0}, {"device.attributes.os_name", "", 0, 0},
                 {"push_channel.mode", "mqtt", 0, 0},     {"device.id", "dev-9", 0, 0}};
    std::vector<std::pair<int, int>> announced, got;
    for (const auto& c : cases) {
        const Json::Value answer = Ask(std::string(R"({"cmd":"set","key":")") + c.key + R"(","value":")" + c.value + "\"}");
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
    for (const auto& item : delivered) got.emplace_back(item.getTopicId(), item.getEventState());
    ASSERT_EQ(got, announced);
    bool success = false;
    std::wstring id, source, message;
    int code = -1;
    ASSERT_TRUE(delivered[3].deserializePayloadForDeviceRegistration(success, id, source, message, code));
    EXPECT_TRUE(success && id == L"dev-7" && source == L"InvokeManualRegistration");
}

TEST_F(ControlRequestsTest, RequestsReachTheAgentOrAreRefusedNamingTheMemberAtFault) {
    testsupport::LogCapture log;
    const ControlAccess full = ControlAccess::Full, read = ControlAccess::ReadOnly;
    const struct {
        const char* line;
        ControlAccess access;
        const char* error;  // nullptr: ok
    } cases[] = {
        {R"({"cmd":"notify","topic":5,"state":16,"payload":"{\"a\":1}"})", full, nullptr},
        {R"({"cmd":"command","action":"run","message":"sendTelemetry","fields":{"datasets":"CPUEvent"}})", full,
         nullptr},
        {R"({"cmd":"purge"})", full, nullptr},
        {R"({"cmd":"purge"})", full, "purge failed: shared telemetry purge: impersonation failed"},
        {R"({"cmd":"resume"})", full, "resume: no purge has completed yet"},
        {R"({"cmd":"add-device-context","id":9007199254740993})", full, nullptr},
        {"{\"cmd\":", full, "request is not valid JSON"},
        {"[1]", full, "request must be a JSON object"},
        {"{}", full, "cmd: missing"},
        {R"({"cmd":"reboot"})", full, "unknown command \"reboot\""},
        {R"({"cmd":"status","verbose":true})", full, "status: unknown member \"verbose\""},
        {R"({"cmd":"set","key":"device.colour","value":"red"})", full, "\"device.colour\""},
        {R"({"cmd":"set","key":"device.online","value":"yes"})", full, "device.online: expected true or false, got \"yes\""},
        {R"({"cmd":"notify","topic":"six","state":0})", full, "topic: expected a whole number"},
        {R"({"cmd":"command","action":"run","message":"m","fields":{"n":1}})", full, "fields.n: expected a string"},
        {R"({"cmd":"add-device-context","id":0})", full, "id: expected a positive whole number (a DeviceContext record id)"},
        {R"({"cmd":"add-device-context","id":5})", full, "add-device-context: no record 5 in /db/DeviceContext.sqlite3"},
        {R"({"cmd":"set","key":"device.online","value":"false"})", read,
         "set: refused for uid 1001, gid 900, pid 42: changes need root"},
        {R"({"cmd":"status"})", ControlAccess::None, "status: refused"},
        {R"({"cmd":"status"})", read, nullptr},
    };
    resumeRefusal = "no purge has completed yet";
    for (const auto& c : cases) {
        const Json::Value answer = Parse(requests->HandleLine(c.line, c.access, "uid 1001, gid 900, pid 42"));
        EXPECT_EQ(answer["ok"].asBool(), c.error == nullptr) << c.line << answer;
        EXPECT_NE(answer["error"].asString().find(c.error ? c.error : ""), std::string::npos) << c.line << answer;
    }
    EXPECT_TRUE(ZEL::linuxhost::CurrentDeviceState().online) << "a refused set changed the state";
    EXPECT_EQ(statusCalls, 1);
    EXPECT_EQ(addedIds, std::vector<std::int64_t>{9007199254740993LL});
    EXPECT_TRUE(log.Contains("control socket: refused \"set\" from uid 1001, gid 900, pid 42", "host.log"));
    const auto delivered = Items();  // each answer came after its delivery; HousekeepingFlow runs a command
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].getTopicId(), 5);
    EXPECT_EQ(delivered[0].getEventState(), 16);
    EXPECT_EQ(delivered[0].getPayload(), L"{\"a\":1}");
    EXPECT_FALSE(delivered[0].isKTANotification());
    EXPECT_EQ(Ask(R"({"cmd":"add-device-context","id":7})")["note"].asString(), "queue note");
}

TEST(ControlAccess, RootAndTheDaemonUserMayDoAllTheReadGroupMayRead) {
    const std::optional<gid_t> none, readers = 900;  // the read group, when one is configured
    const struct {
        datasyncd::PeerCredentials peer;  // known, pid, uid, gid, supplementary groups
        std::optional<gid_t> readGroup;
        ControlAccess expected;
    } cases[] = {
        {{true, 1, 0, 0, {}}, none, ControlAccess::Full},                    // root
        {{true, 1, 1000, 50, {}}, none, ControlAccess::Full},                // the daemon's user
        {{true, 1, 1001, 900, {}}, none, ControlAccess::None},               // no read group configured
        {{true, 1, 1001, 900, {}}, readers, ControlAccess::ReadOnly},        // primary group
        {{true, 1, 1001, 100, {7, 900}}, readers, ControlAccess::ReadOnly},  // supplementary group
        {{true, 1, 1001, 100, {7, 901}}, readers, ControlAccess::None},
        {{false, 1, 0, 0, {}}, readers, ControlAccess::None},                // credentials unknown
    };
    for (const auto& c : cases)
        EXPECT_EQ(datasyncd::DecideControlAccess(c.peer, {1000, c.readGroup}), c.expected)
            << "uid " << c.peer.uid << " gid " << c.peer.gid;
}

}  // namespace
