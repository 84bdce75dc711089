// A process killed while it holds a shared link's lock, in the middle of an exchange: the other
// processes on the link fail once with "resource is locked", then carry on, and the dead
// process's slot is given back.
#include "fault_support.h"
#include "serial_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <sstream>

namespace {

using ztest::Child;
using ztest::Failure;

// Opens COM7 and, on "hang", sends a message whose first traffic line stops the process for good
// inside the call, the link's lock held.
int HangingProcess(Child &self) {
    ztest::Library lib = ztest::LoadLibrary();
    if (!lib.module) return 11;
    const int32_t handle = lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232);
    self.Reply(handle > 0 ? "opened" : std::string("fail ") + lib.MSK_GetLastError());
    static Child *channel = &self;
    if (auto command = self.Receive(std::chrono::seconds(30)); !command || *command != "hang")
        return 12;
    lib.MSK_RegisterDebugLogHandler(3, [](const char *line) {
        if (std::string(line).find("Bytes Write") == std::string::npos) return;
        channel->Reply("in-call");
        while (true) pause();
    });
    const DriveMessage message{1, 0x0010, 0x1234, {1}};
    lib.MSK_SendMessage(&message);
    return 13;
}

class LockHolderTest : public ztest::LibraryTest {
protected:
    void SetUp() override {}    // the test process itself does not load the library
    void TearDown() override {}
};

TEST_F(LockHolderTest, AProcessKilledHoldingTheLinkFailsTheOthersOnce) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    Child holder(HangingProcess);
    ASSERT_EQ(holder.Read(), "opened");
    Child other(ztest::LibraryProcess);
    ASSERT_EQ(other.Read(), "loaded");
    ASSERT_EQ(ztest::Ask(other, "open COM7 1 0 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(ztest::Ask(other, "send 0x20 0x1234 1"), "ok");

    holder.Send("hang");
    ASSERT_EQ(holder.Read(), "in-call");
    holder.Kill();
    EXPECT_EQ(holder.Wait(), 128 + SIGKILL);

    // Once the lock's owner is found dead the next call fails; the lock is taken over for good.
    ztest::Stopwatch watch;
    EXPECT_EQ(ztest::Ask(other, "send 0x20 0x1234 2"), Failure(0x20000066));
    EXPECT_LT(watch.Elapsed(), std::chrono::seconds(2));
    // The dead process left half an exchange on the line; the link gets over it.
    EXPECT_EQ(ztest::Ask(other, "send 0x20 0x1234 3"), "ok");
    EXPECT_EQ(ztest::Ask(other, "version"), "ok F120H");
    EXPECT_EQ(ztest::Ask(other, "send 0x20 0x1234 4"), "ok");

    // A process that attaches now takes the dead one's slot and joins the link.
    Child later(ztest::LibraryProcess);
    ASSERT_EQ(later.Read(), "loaded");
    ASSERT_EQ(ztest::Ask(later, "open COM7 1 0 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(ztest::Ask(later, "version"), "ok F120H");
    {
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        ASSERT_TRUE(view.valid());
        const auto &section = *static_cast<const zorcomm::SharedSection *>(view.library());
        EXPECT_EQ(section.processCount, 2);
        for (const auto &slot : section.slotTable)
            EXPECT_NE(slot.processId, static_cast<uint32_t>(holder.pid()));
    }
    ztest::Ask(other, "quit");
    ztest::Ask(later, "quit");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(later.Wait(), 0);
    // The last one out removed the region: nothing is left of the three processes.
    EXPECT_FALSE(zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid());
}

} // namespace
