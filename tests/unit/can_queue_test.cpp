// The CAN receive queue: a ring of 32 whose messages are numbered as they come, so that a reply
// wait can leave what came before its question and take what came after.
#include <gtest/gtest.h>

#include "transport/can_link.h"

namespace {

using zorcomm::CanReceiveQueue;

DriveMessage Numbered(uint16_t n) { return DriveMessage{1, 0x0010, 0x4000, {n}}; }

TEST(CanReceiveQueue, MessagesAfterAMarkAreTakenFromBehindTheEarlierOnes) {
    CanReceiveQueue queue;
    DriveMessage message{};
    // Move the ring's head past its end, so that taking from the middle wraps too.
    for (uint16_t n = 0; n < 30; ++n) ASSERT_TRUE(queue.Append(Numbered(n)));
    for (uint16_t n = 0; n < 30; ++n) ASSERT_TRUE(queue.Take(message));

    for (uint16_t n = 100; n < 104; ++n) ASSERT_TRUE(queue.Append(Numbered(n)));
    const uint32_t mark = queue.Mark();
    EXPECT_FALSE(queue.TakeFrom(mark, message));
    for (uint16_t n = 200; n < 203; ++n) ASSERT_TRUE(queue.Append(Numbered(n)));

    ASSERT_TRUE(queue.TakeFrom(mark, message));
    EXPECT_EQ(message.data[0], 200);
    ASSERT_TRUE(queue.TakeBefore(mark, message));
    EXPECT_EQ(message.data[0], 100);
    ASSERT_TRUE(queue.TakeFrom(mark, message));
    EXPECT_EQ(message.data[0], 201);
    EXPECT_EQ(queue.Count(), 4);
    // The rest in the order it came.
    for (uint16_t n : {101, 102, 103, 202}) {
        ASSERT_TRUE(queue.Take(message));
        EXPECT_EQ(message.data[0], n);
    }
    EXPECT_FALSE(queue.Take(message));
    EXPECT_FALSE(queue.TakeBefore(queue.Mark(), message));

    // Full at 32; all of it came before a mark taken now.
    for (int n = 0; n < 32; ++n) ASSERT_TRUE(queue.Append(Numbered(static_cast<uint16_t>(n))));
    EXPECT_FALSE(queue.Append(Numbered(99)));
    EXPECT_TRUE(queue.TakeBefore(queue.Mark(), message));
    EXPECT_EQ(message.data[0], 0);
}

} // namespace
