// The worker's queue (order, the maximum count) and its interruptible pause.
#include <gtest/gtest.h>

#include <future>

#include "datasync/agent/AgentComponents.h"
#include "datasync/common/MessageQueue.h"

namespace {

using namespace std::chrono_literals;
using Message = ZEL::DataSync::sync_msg;

TEST(MessageQueue, MessagesComeOutInOrderAndOnePastTheMaximumCountWaitsForALaterSignal) {
    CMessageQueue<Message> queue;
    for (int i = 0; i < 4096; ++i) ASSERT_TRUE(queue.PutMsg({ZEL::DataSync::ONE_DATASET_SYNC, std::to_wstring(i)})) << i;
    EXPECT_FALSE(queue.PutMsg({ZEL::DataSync::ONE_DATASET_SYNC, L"overflow"}));
    EXPECT_EQ(queue.Size(), 4097u);
    Message out;
    for (int i = 0; i < 4096; ++i) ASSERT_TRUE(queue.GetMsg(out) == 0 && out.data == std::to_wstring(i)) << i;
    EXPECT_EQ(queue.Size(), 1u) << "the refused message stays queued";
    queue.Stop();  // any later signal lets the consumer reach it
    ASSERT_EQ(queue.GetMsg(out), 0);
    EXPECT_EQ(out.data, L"overflow");
    EXPECT_TRUE(queue.PutMsg({ZEL::DataSync::DEVICE_ONLINE, L""})) << "counts are free again";
}

TEST(WaitSync, AFreeEndsThePauseInProgressOrOnlyTheNextOne) {
    ZEL::DataSync::AgentComponents components(ZEL::DataSync::AgentEnvironment::Host());
    ZEL::DataSync::SyncWorker& worker = components.worker;
    auto pauser = std::async(std::launch::async, [&worker] { worker.WaitSync(20000, false); });
    EXPECT_EQ(pauser.wait_for(100ms), std::future_status::timeout) << "a pause without a free lasts";
    worker.WaitSync(20000, true);
    ASSERT_EQ(pauser.wait_for(5s), std::future_status::ready);
    worker.WaitSync(0, true);
    auto start = std::chrono::steady_clock::now();
    worker.WaitSync(20000, false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the kept free ends the pause at once";
    start = std::chrono::steady_clock::now();
    worker.WaitSync(300, false);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms) << "the free was used up";
}

}  // namespace
