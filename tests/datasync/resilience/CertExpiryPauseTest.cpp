// The certificate-expiry pause: only result code 34 starts it; heartbeat calls at 10, 30, 70,
// 130, 250, 490, 790 s and then every 300 s of the monotonic clock; a repeated expiry changes
// nothing; a registration resumes it (also when a call is due); the status shows the next call;
// KTA and NAVS uploads are skipped while paused, NAVP is not.
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

ZELCore::InvokeHttpResponse Answer(int resultCode, int status = 0, const std::string& message = "") {
    ZELCore::InvokeHttpResponse response;
    response.resultCode = resultCode;
    response.response.statusCode = status;
    response.response.message = message;
    return response;
}

class CertExpiryPauseTest : public ResilienceTest {
protected:
    void SetUp() override {
        ResilienceTest::SetUp();
        m_prepared = std::make_unique<PreparedAgent>(m_policy, m_stop);
    }
    void TearDown() override {
        Access::ResumeAfterCertRenewal(agent());  // the pause is class-wide
        m_prepared.reset();
        ResilienceTest::TearDown();
    }
    DataSyncAgent& agent() { return m_prepared->agent; }
    // Moves the monotonic clock to `at` after the start of the test.
    void At(std::chrono::milliseconds at) {
        m_clock.AdvanceSteady(at - m_now);
        m_now = at;
    }
    bool Gate() { return Access::CertPauseGate(agent()); }
    Json::Value Pause() { return agent().GetStatusSnapshot()["certificate_pause"]; }

    std::unique_ptr<PreparedAgent> m_prepared;
    std::chrono::milliseconds m_now{0};
};

TEST_F(CertExpiryPauseTest, HeartbeatCallsWidenFromTenSecondsToEveryFiveMinutes) {
    EXPECT_FALSE(Gate());
    ASSERT_TRUE(Access::HandleCertExpiry(agent(), Answer(34)));
    std::vector<std::int64_t> allowedAt;
    for (auto at = 0ms; at <= 1400s; at += 500ms) {
        At(at);
        if (Gate()) continue;
        allowedAt.push_back(at.count() / 1000);
        EXPECT_TRUE(Gate()) << "one upload per call";
    }
    EXPECT_EQ(allowedAt, (std::vector<std::int64_t>{10, 30, 70, 130, 250, 490, 790, 1090, 1390}));
    EXPECT_TRUE(Logged("DataSync PAUSED due to certificate expiry: Certificate error: HTTP=0, ResultCode=34"));
    EXPECT_TRUE(Logged("Allowing heartbeat call #1 while paused (paused for 10 sec, waited 10 sec, next in 20 sec)"));
    EXPECT_TRUE(Logged("Allowing heartbeat call #7 while paused (paused for 790 sec, waited 300 sec, next in 300 sec)"));
    const Json::Value pause = Pause();
    EXPECT_EQ(pause["heartbeat_calls"].asInt(), 9);
    EXPECT_EQ(pause["paused_for_seconds"].asInt64(), 1400);
    EXPECT_EQ(pause["next_heartbeat_call"].asInt64(), 10);
    EXPECT_EQ(pause["next_heartbeat_in_seconds"].asInt64(), 290);
    EXPECT_EQ(pause["next_heartbeat_time"].asInt64(), 1796554800 + 290);
}

TEST_F(CertExpiryPauseTest, OnlyCode34PausesAndARepeatedExpiryKeepsReasonAndSchedule) {
    const std::pair<ZELCore::InvokeHttpResponse, std::string> cases[] = {
        {Answer(0, 403, R"({"errorCode":"DeviceMissing"})"), ""},
        {Answer(12029), ""},
        {Answer(34), "Certificate error: HTTP=0, ResultCode=34"},
        {Answer(34, 401, "expired"), "Certificate error: HTTP=401, ResultCode=34, Message=expired"},
    };
    for (const auto& [response, reason] : cases) {
        EXPECT_EQ(Access::HandleCertExpiry(agent(), response), !reason.empty()) << reason;
        EXPECT_EQ(Pause()["reason"].asString(), reason);
        Access::ResumeAfterCertRenewal(agent());
    }
    ASSERT_TRUE(Access::HandleCertExpiry(agent(), Answer(34, 0, "first")));
    At(10s);
    EXPECT_FALSE(Gate());
    EXPECT_TRUE(Access::HandleCertExpiry(agent(), Answer(34, 0, "second")));
    EXPECT_EQ(Pause()["reason"].asString(), "Certificate error: HTTP=0, ResultCode=34, Message=first");
    EXPECT_EQ(Pause()["heartbeat_calls"].asInt(), 1);
    At(29999ms);
    EXPECT_TRUE(Gate());
    At(30s);
    EXPECT_FALSE(Gate());
}

TEST_F(CertExpiryPauseTest, RegistrationResumesEvenWhenACallIsDueAndANewExpiryStartsAfresh) {
    Access::ResumeAfterCertRenewal(agent());
    ASSERT_TRUE(Access::HandleCertExpiry(agent(), Answer(34)));
    for (auto at : {10s, 30s}) {
        At(at);
        EXPECT_FALSE(Gate());
    }
    At(70s);  // call #3 is due, nobody asked
    Access::RegistrationDone(agent());
    Access::RegistrationDone(agent());
    EXPECT_FALSE(Pause()["paused"].asBool());
    EXPECT_EQ(Pause()["heartbeat_calls"].asInt(), 0);
    EXPECT_EQ(CountLogged("DataSync RESUMED after 70 seconds pause (made 2 heartbeat calls)"), 1);
    EXPECT_EQ(CountLogged("RESUMED"), 1) << "resuming an unpaused agent logs nothing";
    EXPECT_EQ(CountLogged("OnNotification: DataSync operations resumed after certificate renewal"), 1);

    ASSERT_TRUE(Access::HandleCertExpiry(agent(), Answer(34)));
    At(79s);
    EXPECT_TRUE(Gate());
    At(80s);
    EXPECT_FALSE(Gate());
    EXPECT_EQ(Pause()["next_heartbeat_in_seconds"].asInt64(), 20);
}

TEST_F(CertExpiryPauseTest, KtaAndNavsWaitForTheHeartbeatCallWhileNavpGoesOn) {
    WriteRows(3);
    m_collector.QueueNoAnswer(34);  // KTA's answer
    EXPECT_FALSE(Access::DoPost(agent(), ZEL::String::UTF8ToUTF16(kDataset)));
    EXPECT_EQ(RequestsTo("kta.test"), 1);
    EXPECT_EQ(RequestsTo("navs.test"), 0);
    EXPECT_EQ(RequestsTo("navp.test"), 1);
    EXPECT_TRUE(Logged("DoKtaPost: Certificate expiry detected for dataset:" + kDataset));
    EXPECT_TRUE(Logged("DoNavsPost: Skipping sync - DataSync paused due to certificate expiry"));
    EXPECT_EQ(m_prepared->Record(SyncEP::SyncEP_KTA)._backoff_retry_count, 0) << "no back-off for it";

    At(9s);
    Access::DoPost(agent(), ZEL::String::UTF8ToUTF16(kDataset));
    EXPECT_EQ(RequestsTo("kta.test"), 1);
    At(10s);
    EXPECT_TRUE(Access::DoPost(agent(), ZEL::String::UTF8ToUTF16(kDataset))) << "the heartbeat call";
    EXPECT_EQ(RequestsTo("kta.test"), 2);
    EXPECT_EQ(RequestsTo("navs.test"), 0);
    Access::RegistrationDone(agent());
    EXPECT_TRUE(Access::DoPost(agent(), ZEL::String::UTF8ToUTF16(kDataset)));
    EXPECT_EQ(RequestsTo("navs.test"), 1);
}

}  // namespace
}  // namespace resiliencetest
