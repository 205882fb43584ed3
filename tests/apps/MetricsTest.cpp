// The pieces behind `datasyncctl metrics` and the systemd messages, in-process: the upload
// counters around a scripted transport, the pending rows read from real SQLite files, the text
// rendered from a status snapshot, and the datagrams the notifier sends to a test socket.
#include <gtest/gtest.h>

#include "NotifySocket.h"
#include "datasyncd/Metrics.h"
#include "datasyncd/SystemdNotifier.h"
#include "datasyncd/UploadCounters.h"
#include "support/FakeTransport.h"
#include "support/ManualClock.h"

namespace {

using std::chrono::milliseconds;

TEST(UploadCounters, CountBatchesRowsAndFailuresPerFamilyFromTheUrl) {
    const std::string items = R"({"dataset_items_log":[{"item_events_log":[{}]},{"item_events_log":[{}]}]})";
    const struct {
        std::string url;
        int resultCode, status;
        std::string body;
    } exchanges[] = {
        {"https://h/kta/events-data", 0, 200, items},                                // kta: 2 rows
        {"https://h/kta/global-context", 0, 201, R"({"device_info":{}})"},           // kta: 1 row
        {"https://h/navs/dataset-context", 0, 200, R"({"dataset_contexts":[{}]})"},  // navs: 1 row
        {"https://h/navp", 0, 200, R"(json={"events":[{},{},{}]})"},                 // navp: 3 rows
        {"https://h/kta/events-data", 0, 503, items},
        {"https://h/kta/events-data", 0, 429, items},
        {"https://h/navs/item-context", 0, 302, "{}"},
        {"https://h/navs/events-data", ZELCore::TransportResult::TIMED_OUT, 0, items},
        {"https://h/navp", ZELCore::TransportResult::CLIENT_CERT_EXPIRED, 0, "json={}"},
        {"https://elsewhere/x", 0, 200, "not json"},
    };
    testsupport::FakeTransport inner;
    for (const auto& exchange : exchanges)
        exchange.resultCode == 0 ? inner.QueueStatus(exchange.status)
                                 : inner.QueueNoAnswer(exchange.resultCode);
    testsupport::ManualClock clock(testsupport::FromUnixMillis(1'800'000'000'000));
    // The NAVP URL is a prefix of neither of the others, the KTA one the longest match.
    std::uint64_t announced = 0;
    datasyncd::UploadCounters counters(
        inner,
        [] {
            return datasyncd::FamilyUrls{
                {"kta", "https://h/kta/"}, {"navs", "https://h/"}, {"navp", "https://h/navp"}};
        },
        clock, [&] { ++announced; });
    for (const auto& exchange : exchanges) {
        int method = ZELCore::HTTP_METHOD_POST;
        counters.InvokeHttp(exchange.url, {}, method, exchange.body, ZELCore::HTTP_AUTH_MTLS, true, "");
    }
    EXPECT_EQ(announced, std::size(exchanges));

    const datasyncd::UploadCounts counts = counters.Snapshot();
    const struct {
        const char* family;
        std::uint64_t batches, rows;
        std::array<std::uint64_t, 4> failures;  // http 4xx, 5xx, other, transport
    } expected[] = {{"kta", 2, 3, {1, 1, 0, 0}}, {"navs", 1, 1, {0, 0, 1, 1}}, {"navp", 1, 3, {0, 0, 0, 1}},
                    {"other", 1, 0, {0, 0, 0, 0}}};
    for (const auto& e : expected) {
        const datasyncd::FamilyUploads& c = counts.at(e.family);
        EXPECT_EQ(c.batchesAccepted, e.batches) << e.family;
        EXPECT_EQ(c.rowsAccepted, e.rows) << e.family;
        EXPECT_EQ(c.failures, e.failures) << e.family;
        EXPECT_EQ(c.lastAcceptedWall, clock.WallNow()) << e.family;
    }
}

// The rows of a body are skimmed from its text: brackets and quotes inside strings, white space
// and nesting must not change the count, and a body that does not close counts nothing.
TEST(UploadCounters, RowsInBodyCountTheTopLevelRecordListOnly) {
    const struct {
        const char* body;
        std::uint64_t rows;
    } cases[] = {
        {R"({"device_id":"d","dataset_items_log":[{"item_events_log":[{"a":[1,2]}]},{"x":"],[{\"}"}]})", 2},
        {" {\n \"dataset_contexts\" : [ {} , {} , {} ] } \n", 3},
        {R"({"meta":{"dataset_items_log":[{},{}]},"item_contexts":[]})", 0},
        {R"({"dataset_items_log":"not a list"})", 1},
        {R"(json={"events":[{"e":"}"},{}]})", 2},
        {R"({"dataset_items_log":[{},{"a":"]}"})", 0},
        {R"({"dataset_items_log":[{"a":"\\"},{"b":"\\\"]"},{"c":"\\\\"}]})", 3},
        {R"([{},{}])", 0},
        {R"({"a":1} trailing)", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(datasyncd::UploadCounters::RowsInBody(c.body), c.rows) << c.body;
}

// MetricsFlow sees counters and pending rows move; here the states it cannot reach and the formats.
TEST(MetricsText, ShowsTheAgentsStatesAndTimesAsPrometheusSamples) {
    datasyncd::MetricsInput input;
    std::istringstream(R"({
        "backoff": {"KTA": {"wait_left_ms": 90500, "sync_allowed": true},
                    "NAVS": {"wait_left_ms": 0, "sync_allowed": false}},
        "device_missing": {"flag": true, "seconds_left": 1200},
        "certificate_pause": {"paused": true},
        "purge": {"state": "purged, awaiting resume"}})") >>
        input.status;
    input.version = "1.2.3";
    input.uploads["navs"].lastAcceptedWall = testsupport::FromUnixMillis(1'800'000'000'500);
    input.steadyNow = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
    input.uploads["navs"].lastAcceptedSteady = input.steadyNow - milliseconds(12'250);
    const std::string text = datasyncd::RenderMetrics(input);

    for (const char* line : {
             "datasync_last_accepted_batch_timestamp_seconds{family=\"navs\"} 1800000000.500",
             "datasync_last_accepted_batch_age_seconds{family=\"navs\"} 12.250",
             "datasync_backoff_active{family=\"kta\"} 1",       // waiting
             "datasync_backoff_active{family=\"navs\"} 1",      // retries exhausted
             "datasync_backoff_active{family=\"navp\"} 0",      // no record
             "datasync_backoff_remaining_seconds{family=\"kta\"} 90.500",
             "datasync_device_missing_block 1",
             "datasync_device_missing_block_remaining_seconds 1200",
             "datasync_certificate_pause 1",
             "datasync_purge_state{state=\"purged_awaiting_resume\"} 1",
             "datasync_purge_state{state=\"normal\"} 0",
             "datasync_build_info{version=\"1.2.3\"} 1",
             "datasync_up 1",
         })
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(text.find("datasync_last_accepted_batch_age_seconds{family=\"kta\"}"), std::string::npos)
        << "a family without an accepted batch has no time to show";
}

TEST(SystemdNotifier, FeedsTheWatchdogOnlyBetweenReadyAndStoppingWhileTheWorkerIsNotStuckInAMessage) {
    appstest::NotifySocket socket;
    datasyncd::SystemdNotifier notifier({socket.Name(), std::chrono::seconds(60)});
    ASSERT_TRUE(notifier.WatchdogEnabled()) << notifier.Problem();
    enum class Call { Feed, Ready, Stopping };
    const struct {
        const char* step;
        Call call;
        milliseconds workerBusyFor;
        std::optional<std::string> sent;
    } steps[] = {
        {"before READY", Call::Feed, milliseconds(0), std::nullopt},
        {"ready", Call::Ready, {}, std::string("READY=1\nSTATUS=running")},
        {"worker busy inside a message for 29.9 s", Call::Feed, milliseconds(29'999), std::string("WATCHDOG=1")},
        {"worker stuck for half the interval", Call::Feed, milliseconds(30'000), std::nullopt},
        {"stopping", Call::Stopping, {}, std::string("STOPPING=1\nSTATUS=stopping")},
        {"after STOPPING", Call::Feed, milliseconds(0), std::nullopt},
    };
    for (const auto& step : steps) {
        if (step.call == Call::Feed) notifier.FeedWatchdog(step.workerBusyFor);
        if (step.call == Call::Ready) notifier.Ready("running");
        if (step.call == Call::Stopping) notifier.Stopping();
        EXPECT_EQ(socket.Next(), step.sent) << step.step;
    }

    EXPECT_FALSE(datasyncd::SystemdNotifier({"", std::chrono::seconds(60)}).Enabled());
    EXPECT_NE(datasyncd::SystemdNotifier({"relative", std::chrono::seconds(60)}).Problem(), "");
    ::setenv("WATCHDOG_USEC", "60000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
    EXPECT_EQ(datasyncd::SystemdNotifier::FromEnvironment().watchdogInterval.count(), 0)
        << "meant for another process";
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    EXPECT_EQ(datasyncd::SystemdNotifier::FromEnvironment().watchdogInterval, std::chrono::seconds(60));
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
}

}  // namespace
