// The call frame's checks on the shared slot table of one process.
#include <gtest/gtest.h>

#include <thread>

#include "api/library.h"
#include "channel/channel_open.h"
#include "core/call_frame.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "test_support.h"

namespace {

using namespace zorcomm;

class CallFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(LibraryLoad()); }
    void TearDown() override { LibraryUnload(); }

    ztest::UniqueRegion region;
    ztest::SettingsFile settings{"[ZORCOMM]\n"};
};

TEST_F(CallFrameTest, TheFirstProcessHoldsSlotZeroWithoutAChannel) {
    const SharedSection &section = *Shared();
    EXPECT_EQ(section.processCount, 1);
    EXPECT_EQ(Context().currentSlotIndex, 0);
    EXPECT_EQ(section.slotTable[0].processId, Context().ownProcessId);
    EXPECT_NE(section.slotTable[0].tableMutex, 0u);
    EXPECT_STREQ(Context().settingsFilePath, settings.path().c_str());
    EXPECT_EQ(section.settings.rs485Dtr, 1);
    HeldLocks held;
    ASSERT_TRUE(EnterCall(LOCK_TABLE | LOCK_CHANNEL, held));
    EXPECT_NE(held.table, 0u);
    EXPECT_EQ(held.channel, 0u); // no channel open: no channel mutex
    EXPECT_FALSE(CheckChannelOpen());
    EXPECT_EQ(Context().lastError, 0x20000077u);
    LeaveCall(held);
}

TEST_F(CallFrameTest, SelectionStaysWithinTheProcessAndTheTable) {
    SharedSection &section = *Shared();
    EXPECT_FALSE(SelectSlot(-1));
    EXPECT_EQ(Context().lastError, 0x2000007bu);
    EXPECT_FALSE(SelectSlot(32));
    EXPECT_TRUE(SelectSlot(0));
    // A slot of another process, even with the same channel handle, is never ours.
    section.slotTable[3].processId = Context().ownProcessId + 1;
    section.slotTable[3].channelHandle = 77;
    EXPECT_FALSE(SelectSlot(3));
    EXPECT_EQ(FindSlotByHandle(77), -1);
    section.slotTable[5].processId = Context().ownProcessId;
    section.slotTable[5].channelHandle = 77;
    EXPECT_EQ(FindSlotByHandle(77), 5);
    EXPECT_TRUE(SelectSlot(5));
    EXPECT_EQ(Context().currentSlot, &section.slotTable[5]);
    section.slotTable[3] = Slot{};
    section.slotTable[5] = Slot{};
    Context().currentSlot = &section.slotTable[0];
    Context().currentSlotIndex = 0;
}

TEST_F(CallFrameTest, AxisIdsAndAddressWords) {
    for (auto [axis, address] : {std::pair<uint16_t, uint16_t>{1, 0x0010}, {255, 0x0FF0}}) {
        uint16_t value = axis;
        EXPECT_TRUE(AxisToAddress(value));
        EXPECT_EQ(value, address);
        AddressToAxis(value);
        EXPECT_EQ(value, axis);
    }
    for (uint16_t bad : {uint16_t{0}, uint16_t{256}, uint16_t{0xFFFF}}) {
        uint16_t value = bad;
        EXPECT_FALSE(AxisToAddress(value));
        EXPECT_EQ(value, bad);
        EXPECT_EQ(Context().lastError, 0x2000006bu);
    }
}

TEST_F(CallFrameTest, EnteringClearsTheLastErrorAndLeavesNoLockHeld) {
    SetError(Error::InvalidParameter);
    HeldLocks held;
    ASSERT_TRUE(EnterCall(LOCK_TABLE, held));
    EXPECT_EQ(Context().lastError, 0u);
    LeaveCall(held);
    // The table mutex is free again: another thread can take it at once.
    bool entered = false;
    std::thread other([&] {
        platform::MutexHandle handle = Shared()->slotTable[0].tableMutex;
        entered = platform::WaitMutex(handle) == platform::WaitResult::Acquired;
        if (entered) platform::ReleaseMutex(handle);
    });
    other.join();
    EXPECT_TRUE(entered);
}

} // namespace
