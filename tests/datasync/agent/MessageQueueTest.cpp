#include <gtest/gtest.h>

#include "datasync/agent/AgentComponents.h"
#include "datasync/common/MessageQueue.h"

namespace {

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
    EXPECT_TRUE(queue.GetMsg(out) == 0 && out.data == L"overflow");
    EXPECT_TRUE(queue.PutMsg({ZEL::DataSync::DEVICE_ONLINE, L""})) << "counts are free again";
}

}  // namespace
