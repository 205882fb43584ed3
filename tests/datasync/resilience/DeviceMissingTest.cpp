#include "datasync/agent/AgentStatus.h"
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

const char* const kDeviceMissingBody = R"({"errorCode":"DeviceMissing","message":"gone"})";

ZELCore::InvokeHttpResponse Reply(int status, const std::string& body = kDeviceMissingBody) { return Answer(0, status, body); }

class DeviceMissingTest : public ResilienceTest {
protected:
    bool Handle403(ZELCore::InvokeHttpResponse r) { return m_prepared->c.deviceMissing.CheckAndHandle403DeviceMissingError(r); }
    bool Blocked() {
        const bool kta = m_prepared->c.backoff.ShouldPostForKta();
        EXPECT_EQ(kta, m_prepared->c.backoff.ShouldPostForNavs()) << "the flag blocks both families alike";
        return !kta;
    }
    std::int64_t State(const char* key) {
        return ZEL::DataSync::AgentStatus(m_prepared->c)["device_missing"][key].asInt64();
    }
};

TEST_F(DeviceMissingTest, BlocksForOneMonotonicHourAndSendsOneRenewalRequest) {
    m_prepared = std::make_unique<PreparedAgent>(m_policy, m_stop);
    EXPECT_FALSE(Handle403(Reply(404))) << "only a 403 counts";
    EXPECT_FALSE(Blocked());
    EXPECT_TRUE(Handle403(Reply(403)));
    EXPECT_TRUE(Handle403(Reply(403, R"({"errorCode":"devicemissing"})")));
    EXPECT_EQ(Renewals(), 1);
    EXPECT_EQ(State("set_time"), kStart);
    EXPECT_EQ(State("seconds_left"), 3600);
    EXPECT_TRUE(Blocked());
    // Wall-clock jumps either way change nothing; only monotonic time ends the hour.
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart + 7200));
    m_clock.AdvanceSteady(1000s);
    EXPECT_TRUE(Blocked());
    EXPECT_EQ(State("seconds_left"), 2600);
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart - 7200));
    m_clock.AdvanceSteady(2600s);
    EXPECT_TRUE(Blocked()) << "exactly 3600 s: still blocked";
    m_clock.AdvanceSteady(1ms);
    EXPECT_FALSE(Blocked());
    EXPECT_EQ(State("seconds_left"), 0);
    EXPECT_EQ(State("counter"), 1) << "the counter outlives the flag";
    // The next device-missing answer blocks a fresh hour without a request.
    EXPECT_TRUE(Handle403(Reply(403)));
    m_clock.AdvanceSteady(3600s);
    EXPECT_TRUE(Blocked());
    EXPECT_EQ(Renewals(), 1);
}

TEST_F(DeviceMissingTest, ManualRegistrationAndRemoveDeviceAllowAnotherRequest) {
    for (const auto& [name, notification, renewalsAfterNext403] :
         {std::tuple{"automatic registration: flag cleared, counter kept",
                     PreparedAgent::Registration(L"InvokeRegistration"), 1},
          {"manual registration", PreparedAgent::Registration(L"invokemanualregistration"), 2},
          {"manual re-registration", PreparedAgent::Registration(L"InvokeManualReRegistration"), 2},
          {"removeDevice", ZEL::ZELNotificationData::MakeServerCommand(L"run", L"removeDevice", {}), 2}}) {
        SCOPED_TRACE(name);
        m_prepared.reset();
        m_prepared = std::make_unique<PreparedAgent>(m_policy, m_stop);
        const int before = Renewals();
        ASSERT_TRUE(Handle403(Reply(403)) && Blocked());
        m_prepared->Notify(notification);
        EXPECT_FALSE(Blocked());
        EXPECT_TRUE(Handle403(Reply(403)) && Blocked());
        EXPECT_EQ(Renewals() - before, renewalsAfterNext403);
    }
}

// A device-missing answer (of KTA or NAVS) or an expired certificate from KTA holds KTA and NAVS
// back, not NAVP, and counts as no back-off failure; the block's end (an hour, the first heartbeat
// call) lets both go on. The device context is held as the rows are.
TEST_F(DeviceMissingTest, BlockingAnswersHoldKtaAndNavsButNotNavp) {
    ZEL::TelemetryPolicy policy = m_policy;
    policy.datasets.push_back(testsupport::MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7",
                                                       L"DeviceContext", L"KTA,NAVS", L"nrt"));
    int rows = 0;
    for (auto [name, navsFails, status, resultCode, renewals, blockedFor] :
         {std::tuple{"certificate expired at KTA", 0, 0, 34, 0, 10000ms},
          {"device missing at KTA", 0, 403, 0, 1, 3600001ms},
          {"device missing at NAVS", 1, 403, 0, 1, 3600001ms}}) {
        SCOPED_TRACE(name);
        AddEvents(rows + 1, rows + 3);
        rows += 3;
        m_prepared = std::make_unique<PreparedAgent>(policy, m_stop);
        const auto [kta, navs, navp] = Requests();
        const int before = Renewals();
        if (navsFails) m_transport.QueueStatus(200);
        resultCode ? m_transport.QueueNoAnswer(resultCode) : m_transport.QueueStatus(status, kDeviceMissingBody);
        EXPECT_EQ(m_prepared->DoPost(uploadtest::kDatasetW), navsFails == 1) << "KTA's answer decides";
        EXPECT_EQ(Requests(), std::tuple(kta + 1, navs + navsFails, navp + 1));
        EXPECT_EQ(m_prepared->Record(navsFails ? NAVS : KTA)._retry_counts, (Counts{0, 0, 0}));
        EXPECT_EQ(Renewals() - before, renewals);
        EXPECT_FALSE(m_prepared->DoPost(uploadtest::kDatasetW));
        EXPECT_FALSE(m_prepared->c.deviceContext.HandleDeviceContext(ZEL::DataSync::kDeviceContextFileName));
        EXPECT_EQ(Requests(), std::tuple(kta + 1, navs + navsFails, navp + 1)) << "KTA and NAVS held";
        m_clock.AdvanceSteady(blockedFor);
        EXPECT_TRUE(m_prepared->DoPost(uploadtest::kDatasetW));
        EXPECT_EQ(Requests(), std::tuple(kta + 2 - navsFails, navs + 1 + navsFails, navp + 1));
    }
}

}  // namespace
}  // namespace resiliencetest
