// The device-missing (403) state: the one renewal request, the one-hour block on the monotonic
// clock, what resets it, its status; and how the dispatch treats the blocking answers.
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

const char* const kDeviceMissingBody = R"({"errorCode":"DeviceMissing","message":"gone"})";

ZELCore::InvokeHttpResponse Answer(int status, const std::string& body = kDeviceMissingBody) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status, response.response.message = body;
    return response;
}

ZEL::ZELNotificationData Registration(const std::wstring& triggerSource) {
    return ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE,
                                    LR"({"success":true,"triggerSource":")" + triggerSource +
                                        LR"(","deviceId":"dev-1","message":"","code":0})");
}

class DeviceMissingTest : public ResilienceTest {
protected:
    static bool Handle403(PreparedAgent& prepared, ZELCore::InvokeHttpResponse response) {
        return prepared.c.deviceMissing.CheckAndHandle403DeviceMissingError(response);
    }
    static bool Blocked(PreparedAgent& prepared) {
        const bool kta = prepared.c.backoff.ShouldPostForKta();
        EXPECT_EQ(kta, prepared.c.backoff.ShouldPostForNavs()) << "the flag blocks both families alike";
        return !kta;
    }
    static Json::Value State(PreparedAgent& prepared) { return ZEL::DataSync::AgentStatus(prepared.c)["device_missing"]; }
};

TEST_F(DeviceMissingTest, BlocksForOneMonotonicHourAndSendsOneRenewalRequest) {
    PreparedAgent prepared(m_policy, m_stop);
    EXPECT_FALSE(Handle403(prepared, Answer(404))) << "only a 403 counts";
    EXPECT_FALSE(Blocked(prepared));
    EXPECT_TRUE(Handle403(prepared, Answer(403)));
    EXPECT_TRUE(Handle403(prepared, Answer(403, R"({"errorCode":"devicemissing"})")));
    EXPECT_EQ(Renewals(), 1);
    EXPECT_EQ(State(prepared)["set_time"].asInt64(), kStart);
    EXPECT_EQ(State(prepared)["seconds_left"].asInt64(), 3600);
    EXPECT_TRUE(Blocked(prepared));

    // Wall-clock jumps either way change nothing; only monotonic time ends the hour.
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart + 7200));
    m_clock.AdvanceSteady(1000s);
    EXPECT_TRUE(Blocked(prepared));
    EXPECT_EQ(State(prepared)["seconds_left"].asInt64(), 2600);
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart - 7200));
    m_clock.AdvanceSteady(2600s);
    EXPECT_TRUE(Blocked(prepared)) << "exactly 3600 s: still blocked";
    m_clock.AdvanceSteady(1ms);
    EXPECT_FALSE(Blocked(prepared));
    EXPECT_EQ(State(prepared)["seconds_left"].asInt64(), 0);
    EXPECT_EQ(State(prepared)["counter"].asInt(), 1) << "the counter outlives the flag";

    // The next device-missing answer blocks a fresh hour without a request.
    EXPECT_TRUE(Handle403(prepared, Answer(403)));
    m_clock.AdvanceSteady(3600s);
    EXPECT_TRUE(Blocked(prepared));
    EXPECT_EQ(Renewals(), 1);
}

TEST_F(DeviceMissingTest, ManualRegistrationAndRemoveDeviceAllowAnotherRequest) {
    const struct {
        const char* name;
        ZEL::ZELNotificationData notification;
        int renewalsAfterNext403;
    } cases[] = {
        {"automatic registration: flag cleared, counter kept", Registration(L"InvokeRegistration"), 1},
        {"manual registration", Registration(L"invokemanualregistration"), 2},
        {"manual re-registration", Registration(L"InvokeManualReRegistration"), 2},
        {"removeDevice", ZEL::ZELNotificationData::MakeServerCommand(L"run", L"removeDevice", {}), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PreparedAgent prepared(m_policy, m_stop);
        const int before = Renewals();
        Handle403(prepared, Answer(403));
        ASSERT_TRUE(Blocked(prepared));
        prepared.Notify(c.notification);
        EXPECT_FALSE(Blocked(prepared));
        Handle403(prepared, Answer(403));
        EXPECT_TRUE(Blocked(prepared));
        EXPECT_EQ(Renewals() - before, c.renewalsAfterNext403);
    }
}

// A device-missing answer or an expired certificate from KTA holds KTA and NAVS back, not NAVP, and
// counts as no back-off failure; the block's end (an hour, the first heartbeat call) lets both go on.
TEST_F(DeviceMissingTest, BlockingAnswersHoldKtaAndNavsButNotNavp) {
    const struct {
        const char* name;
        int status, resultCode, renewals;
        std::chrono::milliseconds blockedFor;
    } cases[] = {{"certificate expired", 0, 34, 0, 10s}, {"device missing", 403, 0, 1, 3600001ms}};
    int rows = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AddEvents(rows + 1, rows + 3), rows += 3;
        PreparedAgent prepared(m_policy, m_stop);
        const auto [kta, navs, navp] = Requests();
        c.resultCode ? m_collector.QueueNoAnswer(c.resultCode) : m_collector.QueueStatus(c.status, kDeviceMissingBody);
        EXPECT_FALSE(Post(prepared));
        EXPECT_EQ(Requests(), std::tuple(kta + 1, navs, navp + 1)) << "NAVS refused by the pre-check";
        EXPECT_EQ(prepared.Record(KTA)._retry_counts, (std::vector<std::uint32_t>{0, 0, 0}));
        EXPECT_EQ(Renewals(), c.renewals);
        m_clock.AdvanceSteady(c.blockedFor);
        EXPECT_TRUE(Post(prepared));
        EXPECT_EQ(Requests(), std::tuple(kta + 2, navs + 1, navp + 1));
    }
}

}  // namespace
}  // namespace resiliencetest
