#include "datasync/host/Registry.h"
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

class BackoffTest : public ResilienceTest {};

TEST_F(BackoffTest, EachFailureClassWaitsItsDelaysThenBlocksUntilAReset) {
    const struct { int result; SyncEP::SyncEp_type type; std::size_t classIndex; std::vector<std::int64_t> delaysSeconds;
                   bool jitter; } cases[] = {
        {429, KTA, 0, {1800, 3600, 7200, 7200, 7200}, false},
        {12007, NAVS, 1, {60, 120, 240}, false},
        {503, KTA, 2, {60, 120, 240, 480, 960, 1920, 3840, 7680, 15360, 30720}, true},
    };
    m_jitterAtMax = true;  // the largest jitter (the delay itself) doubles a delay, so any jitter shows
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        PreparedAgent prepared(m_policy, m_stop);
        for (std::size_t n = 0; n < c.delaysSeconds.size(); ++n) {  // one delay per allowed attempt
            EXPECT_TRUE(prepared.c.backoff.CheckForExponentialBackoffRetry(c.result, c.type));
            const ZEL::DataSync::RetryInfo info = prepared.Record(c.type);
            EXPECT_EQ(info._backoff_delay, c.delaysSeconds[n] * 1000 * (c.jitter ? 2 : 1)) << "attempt " << n;
            EXPECT_EQ(info._retry_counts[c.classIndex], n + 1);
            EXPECT_EQ(info._backoff_retry_count, static_cast<std::int32_t>(n + 1));
        }
        EXPECT_TRUE(prepared.c.backoff.CheckForExponentialBackoffRetry(c.result, c.type)) << "the attempts are used up";
        EXPECT_FALSE(prepared.Record(c.type)._sync_allowed);
        long registry = 0;  // the registry value is KTA's only
        EXPECT_EQ(ZEL::utility::ReadRegistryValue(L"syncRetryError", registry) && registry == 1, c.type == KTA);
        EXPECT_TRUE(ZEL::CriticalEventLogger::Active().count({1017, 4095}));
        m_clock.AdvanceSteady(24h);
        EXPECT_EQ(prepared.c.backoff.ShouldPostForKta(), c.type != KTA) << "blocked; the other family is not";
        EXPECT_EQ(prepared.c.backoff.ShouldPostForNavs(), c.type != NAVS);
        std::wstring name = L"syncRetryError";
        ZEL::utility::WriteErrorToRegistry(name, 0);
        ZEL::CriticalEventLogger::ResetError(1017, 4095);
    }
}

TEST_F(BackoffTest, WaitIsMeasuredOnTheMonotonicClockNotTheWallClock) {
    PreparedAgent prepared(m_policy, m_stop);
    prepared.c.backoff.CheckForExponentialBackoffRetry(12007, KTA);
    prepared.c.backoff.CheckForExponentialBackoffRetry(12007, KTA);  // 120 s
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart + 86400));
    m_clock.AdvanceSteady(119s);
    EXPECT_FALSE(prepared.c.backoff.ShouldPostForKta()) << "a wall clock a day ahead ends no wait early";
    m_clock.AdvanceSteady(1s);
    EXPECT_TRUE(prepared.c.backoff.ShouldPostForKta());
    prepared.c.backoff.CheckForExponentialBackoffRetry(12007, KTA);  // 240 s
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kStart - 86400));
    m_clock.AdvanceSteady(240s);
    EXPECT_TRUE(prepared.c.backoff.ShouldPostForKta()) << "a wall clock a day behind stretches no wait";
}

TEST_F(BackoffTest, OtherResultsEndTheWaitOnlyPostedRowsClearTheCountersAndAGatewayErrorRefusesKta) {
    PreparedAgent prepared(m_policy, m_stop);
    for (int result : {500, 599, 429}) prepared.c.backoff.CheckForExponentialBackoffRetry(result, KTA);
    for (int result : {1, 404, 600, 499}) {
        SCOPED_TRACE(result);
        EXPECT_FALSE(prepared.c.backoff.CheckForExponentialBackoffRetry(result, KTA));
        EXPECT_EQ(prepared.Record(KTA)._backoff_delay, 0);
        EXPECT_EQ(prepared.Record(KTA)._retry_counts, (Counts{1, 0, 2}));
    }
    EXPECT_TRUE(prepared.c.backoff.ShouldPostForKta());
    prepared.c.backoff.CheckForExponentialBackoffRetry(502, KTA);
    EXPECT_EQ(prepared.Record(KTA)._backoff_delay, 240000) << "the next 5xx is the third";
    EXPECT_FALSE(prepared.c.backoff.CheckForExponentialBackoffRetry(0, KTA));
    EXPECT_EQ(prepared.Record(KTA)._retry_counts, (Counts{0, 0, 0}));
    m_host.status.critical = true;
    EXPECT_FALSE(prepared.c.backoff.ShouldPostForKta());
    EXPECT_TRUE(prepared.c.backoff.ShouldPostForNavs()) << "NAVS does not ask about the gateway";
}

TEST_F(BackoffTest, EachResetClearsItsClassAfterItsRandomDelay) {
    PreparedAgent prepared(m_policy, m_stop);
    for (int n = 0; n < 5; ++n) prepared.c.backoff.CheckForExponentialBackoffRetry(429, KTA);
    prepared.c.backoff.SetResetDelayMinutes(15);
    EXPECT_FALSE(prepared.c.backoff.HandleResetBackoffState()) << "no server errors: ignored";
    EXPECT_EQ(prepared.Record(KTA)._backoff_delay, 7200000) << "the fifth wait stays";
    // The command: KTA's server-error class, after up to its randomDelay minutes.
    for (int n = 0; n < 11; ++n) prepared.c.backoff.CheckForExponentialBackoffRetry(503, KTA);
    prepared.Notify(ZEL::ZELNotificationData::MakeServerCommand(L"set", L"resetBackOffState", {{L"randomDelay", L"15"}}));
    EXPECT_TRUE(WaitUntil([&] { return prepared.c.backoff.ShouldPostForKta(); }));
    EXPECT_EQ(m_lastJitterBound.load(), 900u) << "up to 15 minutes, in seconds";
    EXPECT_EQ(prepared.Record(KTA)._retry_counts, (Counts{5, 0, 0}));
    // The end of a DNS error: the name class of both families, after up to two minutes.
    for (SyncEP::SyncEp_type type : {KTA, NAVS})
        for (int result : {12007, 12007, 12007, 12007, 1, 500}) prepared.c.backoff.CheckForExponentialBackoffRetry(result, type);
    prepared.Notify(ZEL::ZELNotificationData(ZEL::TOPIC_DNS_STATUS, ZEL::STATE_DNS_RESOLVED, L""));
    EXPECT_TRUE(WaitUntil([&] { return prepared.c.backoff.ShouldPostForKta(); }));
    EXPECT_EQ(m_lastJitterBound.load(), 120u);
    for (auto [type, counts] : {std::pair{KTA, Counts{5, 0, 1}}, std::pair{NAVS, Counts{0, 0, 1}}}) {
        const ZEL::DataSync::RetryInfo info = prepared.Record(type);
        EXPECT_TRUE(info._sync_allowed && info._backoff_delay == 0);
        EXPECT_EQ(info._retry_counts, counts);
    }
}

TEST_F(BackoffTest, ServiceStopEndsAPendingResetWithoutResetting) {
    m_jitterAtMax = true;  // 15 minutes and 2 minutes: far longer than the test may take
    PreparedAgent prepared(m_policy, m_stop);
    for (int n = 0; n < 11; ++n) prepared.c.backoff.CheckForExponentialBackoffRetry(503, KTA);
    for (int n = 0; n < 4; ++n) prepared.c.backoff.CheckForExponentialBackoffRetry(12007, NAVS);
    prepared.c.backoff.SetResetDelayMinutes(15);
    auto command = std::async(std::launch::async, [&] { return prepared.c.backoff.HandleResetBackoffState(); });
    auto dns = std::async(std::launch::async, [&] { return prepared.c.backoff.HandleResetBackoffStateOnDnsRecovery(); });
    ASSERT_TRUE(WaitUntil([&] { return Logged("random delay 15 minutes") && Logged("random delay 120 seconds"); }));
    const auto start = std::chrono::steady_clock::now();
    platform::SetEvent(m_stop);
    ASSERT_EQ(command.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(dns.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(command.get() && dns.get()) << "processed, though not reset";
    EXPECT_FALSE(prepared.Record(KTA)._sync_allowed || prepared.Record(NAVS)._sync_allowed);
}

}  // namespace
}  // namespace resiliencetest
