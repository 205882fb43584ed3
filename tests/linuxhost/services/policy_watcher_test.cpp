#include <filesystem>
#include <functional>

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
    void TearDown() override { ZEL::ZELPublisherSubscriber::SetInstance(nullptr), bus.Shutdown(); }
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

TEST_F(PolicyWatcherTest, ThreadPublishesEachChangeOnceWhateverMadeItAndStopEndsALongWaitPromptly) {
    const std::string folder = temp.path() + "later/", elsewhere = temp.sub("elsewhere") + "policy.json";
    path = folder + "policy.json";
    UsePolicyFile(path);
    PolicyFileWatcher watcher(5ms);
    const struct {
        const char* name;
        std::function<void()> change;
    } changes[] = {
        {"the folder created with the file",
         [&] {
             std::filesystem::create_directory(folder);
             WriteFile(path, "{\"telemetry_scope\":\"full\"}");
         }},
        {"replaced by a rename", [&] { ReplaceFile("{\"telemetry_scope\":\"none\"}"); }},
        {"written in place", [&] { WriteFile(path, "{\"telemetry_scope\":\"basic\"}"); }},
        {"deleted", [&] { std::filesystem::remove(path); }},
        {"created again", [&] { WriteFile(path, "{\"telemetry_scope\":\"full\"}"); }},
        {"made a link to a file elsewhere",
         [&] {
             WriteFile(elsewhere, "{\"telemetry_scope\":\"other\"}");
             std::filesystem::remove(path);
             std::filesystem::create_symlink(elsewhere, path);
         }},
        {"the linked file written", [&] { WriteFile(elsewhere, "{\"telemetry_scope\":\"none\"}"); }},
        {"the folder deleted", [&] { std::filesystem::remove_all(folder); }},
    };
    int expected = 0;
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        c.change();
        ++expected;
        ASSERT_TRUE(WaitUntil([&] { return published.load() >= expected; }));
    }
    std::filesystem::create_directory(folder);
    const std::uint64_t looks = watcher.LookCount();
    WriteFile(path, "");  // as empty as the missing file
    ASSERT_TRUE(WaitUntil([&] { return watcher.LookCount() > looks; }));
    EXPECT_EQ(Delivered(), expected);
    PolicyFileWatcher idle(1h);
    const auto start = std::chrono::steady_clock::now();
    idle.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
