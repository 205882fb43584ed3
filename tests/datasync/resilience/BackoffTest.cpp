// Per-endpoint back-off: the delays and attempts of each failure class, jitter for server
// errors only, blocking with its registry value and critical event, waits measured on the
// monotonic clock whatever the wall clock does, the pre-checks' gates, and the two resets (the
// command and the end of a DNS error) with their random delay ended by the service stop.
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

using testsupport::WaitUntil;
constexpr SyncEP::SyncEp_type KTA = SyncEP::SyncEP_KTA;
constexpr SyncEP::SyncEp_type NAVS = SyncEP::SyncEP_NAVS;

class BackoffTest : public ResilienceTest {};

TEST_F(BackoffTest, EachFailureClassWaitsItsDelaysThenBlocks) {
    struct Case {
        int result;
        std::size_t classIndex;
        std::vector<std::int64_t> delaysSeconds;  // one per allowed attempt
        bool jitter;
    };
    const Case cases[] = {
        {429, 0, {1800, 3600, 7200, 7200, 7200}, false},
        {12007, 1, {60, 120, 240}, false},
        {503, 2, {60, 120, 240, 480, 960, 1920, 3840, 7680, 15360, 30720}, true},
    };
    JitterAtMax(true);  // the largest jitter doubles a delay, so any jitter shows
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        PreparedAgent prepared(m_policy, m_stop);
        const std::size_t jitterBefore = JitterBounds().size();
        for (std::size_t n = 0; n < c.delaysSeconds.size(); ++n) {
            EXPECT_TRUE(Access::BackoffResult(prepared.agent, c.result, KTA));
            const DataSyncAgent::RetryInfo info = prepared.Record(KTA);
            const std::int64_t expected = c.delaysSeconds[n] * 1000 * (c.jitter ? 2 : 1);
            EXPECT_EQ(info._backoff_delay, expected) << "attempt " << n;
            EXPECT_EQ(info._backoff_retry_count, static_cast<std::int32_t>(n + 1));
            EXPECT_EQ(info._retry_counts[c.classIndex], n + 1);
            EXPECT_EQ(info._last_sync_call_time, 1796554800);
            EXPECT_TRUE(info._sync_allowed);
            if (c.jitter) {
                EXPECT_EQ(JitterBounds().back(), static_cast<unsigned>(c.delaysSeconds[n]));
            }
        }
        EXPECT_EQ(JitterBounds().size() - jitterBefore, c.jitter ? c.delaysSeconds.size() : 0u);
        EXPECT_FALSE(SyncRetryError(1));
        EXPECT_FALSE(RetriesExceededEventActive());

        EXPECT_TRUE(Access::BackoffResult(prepared.agent, c.result, KTA)) << "the attempts are used up";
        const DataSyncAgent::RetryInfo blocked = prepared.Record(KTA);
        EXPECT_FALSE(blocked._sync_allowed);
        EXPECT_EQ(blocked._backoff_delay, 0);
        EXPECT_TRUE(SyncRetryError(1));
        EXPECT_TRUE(RetriesExceededEventActive());
        m_clock.AdvanceSteady(std::chrono::hours(24));
        EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent)) << "blocked until a reset";
        EXPECT_TRUE(Access::ShouldPostForNavs(prepared.agent)) << "the other family is unaffected";
        std::wstring name = L"syncRetryError";
        ZEL::utility::WriteErrorToRegistry(name, 0);
        ZEL::CriticalEventLogger::ResetError(1017, 4095);
    }
}

TEST_F(BackoffTest, NavsBlockedLogsTheCriticalEventButWritesNoRegistryValue) {
    PreparedAgent prepared(m_policy, m_stop);
    for (int n = 0; n < 4; ++n) EXPECT_TRUE(Access::BackoffResult(prepared.agent, 12007, NAVS));
    EXPECT_FALSE(prepared.Record(NAVS)._sync_allowed);
    EXPECT_TRUE(prepared.Record(KTA)._sync_allowed);
    EXPECT_TRUE(RetriesExceededEventActive());
    long value = 0;
    EXPECT_FALSE(ZEL::utility::ReadRegistryValue(L"syncRetryError", value));
    EXPECT_TRUE(Logged("CheckForExponentialBackoffRetry: Retries have exceeded, Logging critical event"));
}

TEST_F(BackoffTest, WaitIsMeasuredOnTheMonotonicClockNotTheWallClock) {
    PreparedAgent prepared(m_policy, m_stop);
    Access::BackoffResult(prepared.agent, 12007, KTA);
    Access::BackoffResult(prepared.agent, 12007, KTA);
    ASSERT_EQ(prepared.Record(KTA)._backoff_delay, 120000);

    // A wall clock moved forward by a day must not end the wait early.
    m_clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 + 86400));
    m_clock.AdvanceSteady(100s);
    EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent));
    EXPECT_TRUE(Logged("ShouldPostForKta: Retry Limit is not yet exceeded, timeDiff = 100.000000"));
    EXPECT_TRUE(Access::ShouldPostForNavs(prepared.agent));
    m_clock.AdvanceSteady(20s);
    EXPECT_TRUE(Access::ShouldPostForKta(prepared.agent)) << "120 s have passed";

    // A wall clock set back by a day must not stretch the next wait.
    Access::BackoffResult(prepared.agent, 12007, KTA);  // 240 s
    m_clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 - 86400));
    m_clock.AdvanceSteady(239s);
    EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent));
    m_clock.AdvanceSteady(1s);
    EXPECT_TRUE(Access::ShouldPostForKta(prepared.agent));
    EXPECT_EQ(prepared.Record(KTA)._last_sync_call_time, 1796554800 + 86400) << "kept for logs and status";
}

TEST_F(BackoffTest, OtherResultsEndTheWaitAndOnlyPostedRowsClearTheCounters) {
    PreparedAgent prepared(m_policy, m_stop);
    Access::BackoffResult(prepared.agent, 500, KTA);
    Access::BackoffResult(prepared.agent, 599, KTA);
    Access::BackoffResult(prepared.agent, 429, KTA);
    EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent));

    for (int result : {1, 404, 600, 499}) {
        SCOPED_TRACE(result);
        EXPECT_FALSE(Access::BackoffResult(prepared.agent, result, KTA));
        const DataSyncAgent::RetryInfo info = prepared.Record(KTA);
        EXPECT_EQ(info._backoff_delay, 0);
        EXPECT_EQ(info._backoff_retry_count, 0);
        EXPECT_EQ(info._retry_counts, (std::vector<std::uint32_t>{1, 0, 2}));
    }
    EXPECT_TRUE(Access::ShouldPostForKta(prepared.agent));
    Access::BackoffResult(prepared.agent, 502, KTA);
    EXPECT_EQ(prepared.Record(KTA)._backoff_retry_count, 3) << "the next 5xx is the third";
    EXPECT_EQ(prepared.Record(KTA)._backoff_delay, 240000);

    EXPECT_FALSE(Access::BackoffResult(prepared.agent, 0, KTA));
    EXPECT_EQ(prepared.Record(KTA)._retry_counts, (std::vector<std::uint32_t>{0, 0, 0}));
    EXPECT_TRUE(Logged("CheckForExponentialBackoffRetry: Resetting to zero"));
}

TEST_F(BackoffTest, PreChecksRefuseInvalidUrlsAndAGatewayErrorAndTreatAMissingRecordAsOpen) {
    {
        PreparedAgent prepared(m_policy, m_stop);
        m_gateway->critical = true;
        EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent));
        EXPECT_TRUE(Access::ShouldPostForNavs(prepared.agent)) << "NAVS does not ask about the gateway";
        m_gateway->critical = false;

        // Blocked: the refusal is logged once until the family is allowed again.
        for (int n = 0; n < 4; ++n) Access::BackoffResult(prepared.agent, 12007, NAVS);
        for (int n = 0; n < 3; ++n) EXPECT_FALSE(Access::ShouldPostForNavs(prepared.agent));
        EXPECT_EQ(CountLogged("ShouldPostForNavs: Syncing is not allowed"), 1);
    }
    {
        ZEL::TelemetryPolicy noUrls = m_policy;
        noUrls.syncEndpointUrls = {{L"KTA_syncEP_url", L"not a url"}, {L"NAVS_syncEP_url", L""}};
        PreparedAgent prepared(noUrls, m_stop);
        EXPECT_FALSE(Access::ShouldPostForKta(prepared.agent));
        EXPECT_FALSE(Access::ShouldPostForNavs(prepared.agent));
    }
    {
        DataSyncAgent agent;  // no full initialisation: no records
        Access::Prepare(agent, m_policy);
        EXPECT_TRUE(Access::ShouldPostForKta(agent));
        EXPECT_TRUE(Logged("ShouldPostForKta: SyncEp::KTA is not found"));
        Access::Finish(agent);
    }
}

TEST_F(BackoffTest, ResetCommandClearsServerErrorsOnlyAfterItsRandomDelay) {
    PreparedAgent prepared(m_policy, m_stop);
    for (int n = 0; n < 5; ++n) Access::BackoffResult(prepared.agent, 429, KTA);
    EXPECT_FALSE(Access::ResetBackoffState(prepared.agent, 15)) << "no server errors: ignored";
    EXPECT_TRUE(Logged("Exponentional backoff not in progress, so ignore the reset command"));
    EXPECT_EQ(prepared.Record(KTA)._backoff_delay, 7200000) << "the fifth wait stays";

    for (int n = 0; n < 11; ++n) Access::BackoffResult(prepared.agent, 503, KTA);
    ASSERT_FALSE(prepared.Record(KTA)._sync_allowed);
    EXPECT_TRUE(Access::ResetBackoffState(prepared.agent, 15));
    EXPECT_EQ(JitterBounds().back(), 900u) << "up to 15 minutes, in seconds";
    DataSyncAgent::RetryInfo info = prepared.Record(KTA);
    EXPECT_TRUE(info._sync_allowed);
    EXPECT_EQ(info._backoff_delay, 0);
    EXPECT_EQ(info._retry_counts, (std::vector<std::uint32_t>{5, 0, 0})) << "only the server-error class";
    EXPECT_TRUE(Access::ShouldPostForKta(prepared.agent));

    // The command through the bus: its randomDelay bounds the wait; the task runs on its own.
    for (int n = 0; n < 11; ++n) Access::BackoffResult(prepared.agent, 503, KTA);
    Access::Notify(prepared.agent, ZEL::ZELNotificationData::MakeServerCommand(L"set", L"resetBackOffState",
                                                                               {{L"randomDelay", L"2"}}));
    EXPECT_TRUE(WaitUntil([&] {
        return Logged("HandleResetBackoffState: Exit isProcessed 1") &&
               CountLogged("HandleResetBackoffState: Reset Exponentional backoff") == 2;
    }));
    EXPECT_EQ(JitterBounds().back(), 120u);
    EXPECT_TRUE(Access::ShouldPostForKta(prepared.agent));
}

TEST_F(BackoffTest, DnsRecoveryClearsTheNameClassOfBothFamilies) {
    PreparedAgent prepared(m_policy, m_stop);
    for (SyncEP::SyncEp_type type : {KTA, NAVS}) {
        for (int n = 0; n < 4; ++n) Access::BackoffResult(prepared.agent, 12007, type);
        Access::BackoffResult(prepared.agent, 1, type);
        Access::BackoffResult(prepared.agent, 500, type);
    }
    Access::Notify(prepared.agent,
                   ZEL::ZELNotificationData(ZEL::TOPIC_DNS_STATUS, ZEL::STATE_DNS_RESOLVED, L""));
    EXPECT_TRUE(WaitUntil(
        [&] { return Logged("HandleResetBackoffStateOnDnsRecovery: Reset Exponentional backoff"); }));
    EXPECT_TRUE(WaitUntil([&] { return Access::ShouldPostForKta(prepared.agent); }));
    EXPECT_EQ(JitterBounds().back(), 120u) << "up to two minutes";
    for (SyncEP::SyncEp_type type : {KTA, NAVS}) {
        const DataSyncAgent::RetryInfo info = prepared.Record(type);
        EXPECT_TRUE(info._sync_allowed);
        EXPECT_EQ(info._backoff_delay, 0);
        EXPECT_EQ(info._retry_counts, (std::vector<std::uint32_t>{0, 0, 1}));
    }
}

TEST_F(BackoffTest, ServiceStopEndsAPendingResetWithoutResetting) {
    JitterAtMax(true);  // 15 minutes and 2 minutes: far longer than the test may take
    PreparedAgent prepared(m_policy, m_stop);
    for (int n = 0; n < 11; ++n) Access::BackoffResult(prepared.agent, 503, KTA);
    for (int n = 0; n < 4; ++n) Access::BackoffResult(prepared.agent, 12007, NAVS);

    auto command =
        std::async(std::launch::async, [&] { return Access::ResetBackoffState(prepared.agent, 15); });
    auto dns =
        std::async(std::launch::async, [&] { return Access::ResetBackoffOnDnsRecovery(prepared.agent); });
    ASSERT_TRUE(WaitUntil([&] {
        return Logged("befoew Reset Exponentional backoff") &&
               Logged("seconds before reset exponentional backoff");
    }));
    EXPECT_TRUE(Logged("Wait for random delay 15 minutes"));
    EXPECT_TRUE(Logged("Wait for random delay 120 seconds"));
    const auto start = std::chrono::steady_clock::now();
    platform::SetEvent(m_stop);
    ASSERT_EQ(command.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(dns.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(command.get()) << "processed, though not reset";
    EXPECT_TRUE(dns.get());
    EXPECT_EQ(CountLogged(": Reset Exponentional backoff"), 0);
    EXPECT_FALSE(prepared.Record(KTA)._sync_allowed);
    EXPECT_FALSE(prepared.Record(NAVS)._sync_allowed);
}

}  // namespace
}  // namespace resiliencetest
