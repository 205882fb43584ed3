// The device-missing (403) state: which answers count, the one renewal request, the one-hour
// block measured on the monotonic clock (still blocked at exactly 3600 s), what registrations and
// the removeDevice command reset, the status, and the dispatch: KTA and NAVS blocked, NAVP not,
// and a device-missing answer never counted as a back-off failure.
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

const char* const kDeviceMissingBody = R"({"errorCode":"DeviceMissing","message":"gone"})";

ZELCore::InvokeHttpResponse Answer(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status;
    response.response.message = body;
    return response;
}

ZEL::ZELNotificationData Registration(const std::wstring& triggerSource) {
    return ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE,
                                    LR"({"success":true,"triggerSource":")" + triggerSource +
                                        LR"(","deviceId":"dev-1","message":"","code":0})");
}

class DeviceMissingTest : public ResilienceTest {
protected:
    static bool Blocked(DataSyncAgent& agent) {
        const bool kta = Access::ShouldPostForKta(agent);
        EXPECT_EQ(kta, Access::ShouldPostForNavs(agent)) << "the flag blocks both families alike";
        return !kta;
    }
    static const Json::Value DeviceMissing(DataSyncAgent& agent) {
        return agent.GetStatusSnapshot()["device_missing"];
    }
};

TEST_F(DeviceMissingTest, OnlyA403SayingDeviceMissingCounts) {
    PreparedAgent prepared(m_policy, m_stop);
    for (const auto& [status, body] :
         {std::pair{403, R"({"errorCode":"Forbidden"})"}, std::pair{403, "DeviceMissing"},
          std::pair{404, kDeviceMissingBody}, std::pair{200, ""}}) {
        SCOPED_TRACE(status);
        EXPECT_FALSE(Access::Handle403(prepared.agent, Answer(status, body)));
    }
    EXPECT_FALSE(DeviceMissing(prepared.agent)["flag"].asBool());
    EXPECT_EQ(DeviceMissing(prepared.agent)["counter"].asInt(), 0);
    EXPECT_EQ(Renewals(), 0);
}

TEST_F(DeviceMissingTest, BlocksForOneMonotonicHourAndSendsOneRenewalRequest) {
    PreparedAgent prepared(m_policy, m_stop);
    EXPECT_TRUE(Access::Handle403(prepared.agent, Answer(403, kDeviceMissingBody)));
    EXPECT_TRUE(Access::Handle403(prepared.agent, Answer(403, R"({"errorCode":"devicemissing"})")));
    EXPECT_EQ(Renewals(), 1);
    EXPECT_EQ(CountLogged("Requesting for Registration renewal on http 403 error from telemetry endpoint"),
              1);
    Json::Value state = DeviceMissing(prepared.agent);
    EXPECT_TRUE(state["flag"].asBool());
    EXPECT_EQ(state["counter"].asInt(), 1);
    EXPECT_EQ(state["set_time"].asInt64(), 1796554800);
    EXPECT_EQ(state["seconds_left"].asInt64(), 3600);
    EXPECT_TRUE(Blocked(prepared.agent));

    // Wall-clock jumps either way change nothing; only monotonic time ends the hour.
    m_clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 + 7200));
    m_clock.AdvanceSteady(1000s);
    EXPECT_TRUE(Blocked(prepared.agent));
    EXPECT_EQ(DeviceMissing(prepared.agent)["seconds_left"].asInt64(), 2600);
    m_clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 - 7200));
    m_clock.AdvanceSteady(2600s);
    EXPECT_TRUE(Blocked(prepared.agent)) << "exactly 3600 s: still blocked";
    m_clock.AdvanceSteady(1ms);
    EXPECT_FALSE(Blocked(prepared.agent));
    state = DeviceMissing(prepared.agent);
    EXPECT_FALSE(state["flag"].asBool());
    EXPECT_EQ(state["counter"].asInt(), 1) << "the counter outlives the flag";
    EXPECT_EQ(state["seconds_left"].asInt64(), 0);

    // Cooling: the next device-missing answer blocks a fresh hour without a request.
    EXPECT_TRUE(Access::Handle403(prepared.agent, Answer(403, kDeviceMissingBody)));
    EXPECT_TRUE(Logged("Max limit reached for 403 DeviceMissing error, counter = 1 flag = 1"));
    EXPECT_TRUE(Blocked(prepared.agent));
    m_clock.AdvanceSteady(3600s);
    EXPECT_TRUE(Blocked(prepared.agent));
    EXPECT_EQ(Renewals(), 1);
}

TEST_F(DeviceMissingTest, ManualRegistrationAndRemoveDeviceAllowAnotherRequest) {
    struct Case {
        const char* name;
        ZEL::ZELNotificationData notification;
        int renewalsAfterNext403;
    };
    const Case cases[] = {
        {"automatic registration: flag cleared, counter kept", Registration(L"InvokeRegistration"), 1},
        {"manual registration", Registration(L"invokemanualregistration"), 2},
        {"manual re-registration", Registration(L"InvokeManualReRegistration"), 2},
        {"removeDevice", ZEL::ZELNotificationData::MakeServerCommand(L"run", L"removeDevice", {}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PreparedAgent prepared(m_policy, m_stop);
        const int before = Renewals();
        Access::Handle403(prepared.agent, Answer(403, kDeviceMissingBody));
        ASSERT_TRUE(Blocked(prepared.agent));
        Access::Notify(prepared.agent, c.notification);
        EXPECT_FALSE(Blocked(prepared.agent));
        Access::Handle403(prepared.agent, Answer(403, kDeviceMissingBody));
        EXPECT_TRUE(Blocked(prepared.agent));
        EXPECT_EQ(Renewals() - before, c.renewalsAfterNext403);
    }
}

TEST_F(DeviceMissingTest, DispatchBlocksKtaAndNavsButNotNavpAndCountsNoBackoffFailure) {
    WriteRows(3);
    PreparedAgent prepared(m_policy, m_stop);
    m_collector.QueueStatus(403, kDeviceMissingBody);  // KTA's answer
    EXPECT_FALSE(Access::DoPost(prepared.agent, ZEL::String::UTF8ToUTF16(kDataset)));
    EXPECT_EQ(RequestsTo("kta.test"), 1);
    EXPECT_EQ(RequestsTo("navs.test"), 0) << "refused by the pre-check";
    EXPECT_EQ(RequestsTo("navp.test"), 1) << "NAVP is not affected";
    const DataSyncAgent::RetryInfo kta = prepared.Record(SyncEP::SyncEP_KTA);
    EXPECT_EQ(kta._backoff_delay, 0);
    EXPECT_EQ(kta._retry_counts, (std::vector<std::uint32_t>{0, 0, 0}));
    EXPECT_EQ(Renewals(), 1);

    m_clock.AdvanceSteady(3601s);
    EXPECT_TRUE(Access::DoPost(prepared.agent, ZEL::String::UTF8ToUTF16(kDataset)));
    EXPECT_EQ(RequestsTo("kta.test"), 2);
    EXPECT_EQ(RequestsTo("navs.test"), 1);
}

}  // namespace
}  // namespace resiliencetest
