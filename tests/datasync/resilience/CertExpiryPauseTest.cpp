#include "datasync/agent/AgentStatus.h"
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

class CertExpiryPauseTest : public ResilienceTest {
protected:
    void SetUp() override {
        ResilienceTest::SetUp();
        m_prepared = std::make_unique<PreparedAgent>(m_policy, m_stop);
    }
    ZEL::DataSync::CertExpiryPause& pause() { return m_prepared->c.certPause; }
    void At(std::chrono::milliseconds at) { m_clock.AdvanceSteady(at - m_now), m_now = at; }
    bool Paused() { return pause().IsDataSyncPausedDueToCertExpiry(); }
    Json::Value Status() { return ZEL::DataSync::AgentStatus(m_prepared->c)["certificate_pause"]; }

    std::chrono::milliseconds m_now{0};
};

TEST_F(CertExpiryPauseTest, HeartbeatCallsWidenFromTenSecondsToEveryFiveMinutes) {
    EXPECT_FALSE(Paused());
    ASSERT_TRUE(pause().CheckAndHandleCertificateExpiryError(Answer(34)));
    std::vector<std::int64_t> allowedAt;
    for (auto at = 0ms; at <= 1400s; at += 500ms) {
        At(at);
        if (Paused()) continue;
        allowedAt.push_back(at.count() / 1000);
        EXPECT_TRUE(Paused()) << "one upload per call";
    }
    EXPECT_EQ(allowedAt, (std::vector<std::int64_t>{10, 30, 70, 130, 250, 490, 790, 1090, 1390}));
    EXPECT_EQ(Status()["heartbeat_calls"].asInt(), 9);
    EXPECT_EQ(Status()["paused_for_seconds"].asInt64(), 1400);
    EXPECT_EQ(Status()["next_heartbeat_in_seconds"].asInt64(), 290);
    EXPECT_EQ(Status()["next_heartbeat_time"].asInt64(), kStart + 290);
}

TEST_F(CertExpiryPauseTest, OnlyCode34PausesARepeatedExpiryChangesNothingAndRegistrationResumes) {
    for (const auto& [response, reason] : {std::pair{Answer(0, 403, "DeviceMissing"), ""}, {Answer(12029), ""},
                                           {Answer(34), "Certificate error: HTTP=0, ResultCode=34"},
                                           {Answer(34, 401, "x"), "Certificate error: HTTP=401, ResultCode=34, Message=x"}}) {
        EXPECT_EQ(pause().CheckAndHandleCertificateExpiryError(response), *reason != '\0') << reason;
        EXPECT_EQ(Status()["reason"].asString(), reason);
        pause().ResumeDataSyncAfterCertRenewal();
    }
    ASSERT_TRUE(pause().CheckAndHandleCertificateExpiryError(Answer(34, 0, "first")));
    At(10s);
    EXPECT_FALSE(Paused());
    EXPECT_TRUE(pause().CheckAndHandleCertificateExpiryError(Answer(34, 0, "second")));
    EXPECT_EQ(Status()["reason"].asString(), "Certificate error: HTTP=0, ResultCode=34, Message=first");
    At(29999ms);
    EXPECT_TRUE(Paused()) << "the schedule goes on";
    At(30s);
    EXPECT_FALSE(Paused());
    At(70s);  // call #3 is due, nobody asked
    m_prepared->RegistrationDone();
    EXPECT_FALSE(Status()["paused"].asBool());
    ASSERT_TRUE(pause().CheckAndHandleCertificateExpiryError(Answer(34)));
    At(79s);
    EXPECT_TRUE(Paused()) << "a new pause starts its schedule afresh";
    At(80s);
    EXPECT_FALSE(Paused());
    // Only an accepted heartbeat call that presented the client certificate ends it.
    for (auto [response, presented, stillPaused] :
         {std::tuple{Answer(12029), true, true}, {Answer(0, 429), true, true}, {Answer(0, 496), true, true},
          {Answer(34), true, true}, {Answer(0, 200), false, true}, {Answer(0, 200), true, false}}) {
        pause().CheckAndHandleCertificateExpiryError(response, presented);
        EXPECT_EQ(Status()["paused"].asBool(), stillPaused) << response.resultCode << "/" << response.response.statusCode;
    }
}

// The uploads that end the pause: accepted heartbeat calls of KTA, and of NAVS while it posts with
// the client certificate; NAVS without it proves nothing about the certificate.
TEST_F(CertExpiryPauseTest, OnlyAnAcceptedCallThatPresentedTheCertificateEndsThePause) {
    std::int64_t row = 0;
    for (auto [family, authMode, ends] :
         {std::tuple{L"KTA", L"", true}, {L"NAVS", L"mtls", true}, {L"NAVS", L"", false}}) {
        ++row;
        AddEvents(row, row);  // a row none of the families has
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(std::wstring(family) + L" auth mode " + authMode));
        ZEL::TelemetryPolicy policy = m_policy;
        policy.authMode = authMode;
        policy.datasets.front().set_syncEPs(family);
        PreparedAgent agent(policy, m_stop);
        ASSERT_TRUE(agent.c.certPause.CheckAndHandleCertificateExpiryError(Answer(34)));
        m_clock.AdvanceSteady(10s);  // the first heartbeat call is due
        const std::size_t before = m_transport.Requests().size();
        agent.DoPost(uploadtest::kDatasetW);
        EXPECT_EQ(m_transport.Requests().size(), before + 1);
        EXPECT_EQ(agent.c.certPause.IsPaused(), !ends);
    }
}

}  // namespace
}  // namespace resiliencetest
