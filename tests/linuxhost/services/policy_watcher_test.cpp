// The policy watcher: one "policy changed" notification (topic 4, state 14) per settled change
// of the file's content (seen on two looks in a row), none for a rewrite with the same bytes or
// a content that reverts before it settles, a missing file counted as empty content, and a
// prompt stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/policy/PolicyFileWatcher.h"
#include "linuxhost/services/ServicesTestSupport.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using ZEL::linuxhost::PolicyFileWatcher;

class PolicyWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = temp.path() + "policy.json";
        servicestest::UsePolicyFile(path);
        ZEL::ZELPublisherSubscriber::SetInstance(&bus);
        bus.Subscribe(
            [this](ZEL::ZELNotificationData& data) {
                if (data.getTopicId() == ZEL::TOPIC_TELEMETRY_POLICY) {
                    EXPECT_EQ(data.getEventState(), ZEL::STATE_POLICY_CHANGED);
                    EXPECT_EQ(data.getPayload(), L"");
                    ++published;
                } else {
                    ++others;
                }
            },
            false);
    }
    void TearDown() override {
        ZEL::ZELPublisherSubscriber::SetInstance(nullptr);
        bus.Shutdown();
    }

    // Replaces the policy file atomically, as a careful writer does, so that the watcher's
    // thread never sees it half-written.
    void ReplaceFile(const std::string& content) {
        const std::string staged = path + ".new";
        servicestest::WriteFile(staged, content);
        std::filesystem::rename(staged, path);
    }

    // The number of policy notifications once everything published so far is delivered.
    int Delivered() {
        EXPECT_TRUE(bus.WaitIdle(5s));
        return published.load();
    }

    servicestest::HostStateGuard stateGuard;
    testsupport::TempDir temp;
    std::string path;
    ZEL::linuxhost::NotificationBus bus;
    std::atomic<int> published{0};
    std::atomic<int> others{0};
};

TEST_F(PolicyWatcherTest, FirstLookOnlyRecords) {
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(1h);
    EXPECT_EQ(watcher.LookCount(), 1u);
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 0);
}

TEST_F(PolicyWatcherTest, EachContentChangePublishesOnceWhenItHasSettled) {
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(1h);
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"none\"}");
    EXPECT_FALSE(watcher.CheckOnce()) << "first sight of the new content";
    EXPECT_TRUE(watcher.CheckOnce()) << "second sight: settled";
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 1);
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"basic\"}");  // same size, other bytes
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_TRUE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 2);
    EXPECT_EQ(others.load(), 0);
}

TEST_F(PolicyWatcherTest, HalfWrittenContentIsNotAnnounced) {
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(1h);
    servicestest::WriteFile(path, "{\"telemetry_");  // a writer caught half-way
    EXPECT_FALSE(watcher.CheckOnce());
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"none\"}");
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_TRUE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 1);
}

TEST_F(PolicyWatcherTest, ContentThatRevertsBeforeSettlingIsNotAnnounced) {
    servicestest::WriteFile(path, "{\"a\":1}");
    PolicyFileWatcher watcher(1h);
    servicestest::WriteFile(path, "{\"a\":2}");
    EXPECT_FALSE(watcher.CheckOnce());
    servicestest::WriteFile(path, "{\"a\":1}");
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 0);
}

TEST_F(PolicyWatcherTest, RewritingTheSameBytesPublishesNothing) {
    servicestest::WriteFile(path, "{}");
    PolicyFileWatcher watcher(1h);
    servicestest::WriteFile(path, "{}");
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() + 1h);
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 0);
}

TEST_F(PolicyWatcherTest, MissingFileCountsAsEmptyContent) {
    PolicyFileWatcher watcher(1h);  // no file yet
    servicestest::WriteFile(path, "");
    EXPECT_FALSE(watcher.CheckOnce()) << "an empty file has the same content as a missing one";
    EXPECT_FALSE(watcher.CheckOnce());
    servicestest::WriteFile(path, "{}");
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_TRUE(watcher.CheckOnce());
    std::filesystem::remove(path);
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_TRUE(watcher.CheckOnce());
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 2);
}

TEST_F(PolicyWatcherTest, ReplacingTheFileByRenameIsSeen) {
    servicestest::WriteFile(path, "{\"a\":1}");
    PolicyFileWatcher watcher(1h);
    ReplaceFile("{\"a\":2}");
    EXPECT_FALSE(watcher.CheckOnce());
    EXPECT_TRUE(watcher.CheckOnce());
    EXPECT_EQ(Delivered(), 1);
}

TEST_F(PolicyWatcherTest, ThreadPublishesAChangeAndStaysQuietAfterATouch) {
    servicestest::WriteFile(path, "{\"telemetry_scope\":\"full\"}");
    PolicyFileWatcher watcher(5ms);
    ReplaceFile("{\"telemetry_scope\":\"none\"}");
    ASSERT_TRUE(servicestest::WaitUntil([&] { return published.load() == 1; }));

    ReplaceFile("{\"telemetry_scope\":\"none\"}");  // same content again
    const std::uint64_t looks = watcher.LookCount();
    ASSERT_TRUE(servicestest::WaitUntil([&] { return watcher.LookCount() >= looks + 3; }));
    EXPECT_EQ(Delivered(), 1);

    ReplaceFile("{\"telemetry_scope\":\"basic\"}");
    ASSERT_TRUE(servicestest::WaitUntil([&] { return published.load() == 2; }));
    const std::uint64_t later = watcher.LookCount();
    ASSERT_TRUE(servicestest::WaitUntil([&] { return watcher.LookCount() >= later + 3; }));
    EXPECT_EQ(Delivered(), 2);
}

TEST_F(PolicyWatcherTest, StopsPromptlyFromALongWaitAndIsSafeTwice) {
    PolicyFileWatcher watcher(1h);
    const auto start = std::chrono::steady_clock::now();
    watcher.Stop();
    watcher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    const std::uint64_t looks = watcher.LookCount();
    EXPECT_EQ(looks, 1u);
}

TEST_F(PolicyWatcherTest, NoLooksAfterStop) {
    auto watcher = std::make_unique<PolicyFileWatcher>(1ms);
    ASSERT_TRUE(servicestest::WaitUntil([&] { return watcher->LookCount() >= 3; }));
    watcher->Stop();
    const std::uint64_t looks = watcher->LookCount();
    servicestest::WriteFile(path, "{\"changed\":true}");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(watcher->LookCount(), looks);
    EXPECT_EQ(Delivered(), 0);
    const auto start = std::chrono::steady_clock::now();
    watcher.reset();  // destructor after Stop
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
