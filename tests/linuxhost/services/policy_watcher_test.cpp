// The policy watcher: one "policy changed" notification per settled change of the file's content
// (seen on two looks in a row), none for the same bytes or a change that reverts, a prompt stop.
#include <filesystem>

#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/policy/PolicyFileWatcher.h"
#include "linuxhost/services/ServicesTestSupport.h"
#include "support/TempDir.h"

namespace {

using namespace servicestest;
using ZEL::linuxhost::PolicyFileWatcher;

class PolicyWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        UsePolicyFile(path);
        ZEL::ZELPublisherSubscriber::SetInstance(&bus);
        bus.Subscribe([this](ZEL::ZELNotificationData& data) {
            published += data.getTopicId() == ZEL::TOPIC_TELEMETRY_POLICY && data.getEventState() == ZEL::STATE_POLICY_CHANGED;
        }, false);
    }
    void TearDown() override {
        ZEL::ZELPublisherSubscriber::SetInstance(nullptr);
        bus.Shutdown();
    }
    // Replaces the file atomically, as a careful writer does.
    void ReplaceFile(const std::string& content) {
        WriteFile(path + ".new", content);
        std::filesystem::rename(path + ".new", path);
    }
    int Delivered() {
        EXPECT_TRUE(bus.WaitIdle(5s));
        return published.load();
    }

    HostStateGuard stateGuard;
    testsupport::TempDir temp;
    std::string path = temp.path() + "policy.json";
    ZEL::linuxhost::NotificationBus bus;
    std::atomic<int> published{0};
};

TEST_F(PolicyWatcherTest, EachContentChangePublishesOnceWhenItHasSettledAndNeverWhenItReverts) {
    WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(1h);
    EXPECT_EQ(watcher.LookCount(), 1u);  // the first look only records
    const auto looks = [&](std::vector<bool> expected, const char* what) {
        for (bool result : expected) EXPECT_EQ(watcher.CheckOnce(), result) << what;
    };
    looks({false}, "unchanged");
    WriteFile(path, "{\"telemetry_");
    looks({false}, "a writer caught half-way");
    WriteFile(path, "{\"telemetry_scope\":\"none\"}");
    looks({false, true, false}, "published on the second sight only");
    ReplaceFile("{\"telemetry_scope\":\"basic\"}");
    looks({false, true}, "same size, other bytes, by rename");
    WriteFile(path, "{\"telemetry_scope\":\"other\"}");
    looks({false}, "a change");
    WriteFile(path, "{\"telemetry_scope\":\"basic\"}");
    looks({false, false}, "reverted before it settled");
    WriteFile(path, "{\"telemetry_scope\":\"basic\"}");
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() + 1h);
    looks({false, false}, "the same bytes with a new time stamp");
    std::filesystem::remove(path);
    looks({false, true}, "a missing file counts as empty content");
    WriteFile(path, "");
    looks({false, false}, "an empty file is the same content");
    EXPECT_EQ(Delivered(), 3);
}

TEST_F(PolicyWatcherTest, ThreadPublishesAChangeOnceAndStopEndsALongWaitPromptly) {
    WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(5ms);
    ReplaceFile("{\"telemetry_scope\":\"none\"}");
    ASSERT_TRUE(WaitUntil([&] { return published.load() == 1; }));
    const std::uint64_t looks = watcher.LookCount();
    ASSERT_TRUE(WaitUntil([&] { return watcher.LookCount() >= looks + 3; }));  // settled: no second notification
    EXPECT_EQ(Delivered(), 1);
    PolicyFileWatcher idle(1h);
    const auto start = std::chrono::steady_clock::now();
    idle.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
