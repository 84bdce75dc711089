// Several Windows processes on one copy of zorcomm.dll: the shared section, one COM port shared
// through duplicated handles, processes that end without unloading the library, and mutexes
// whose holder died.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef CreateMutex // the platform's own, not the Windows macro

#include "fixture.h"
#include "platform/platform.h"

namespace {

using wtest::ChildProcess;
using wtest::DllTest;
using wtest::SerialSim;

class ProcessesTest : public DllTest {};

int Count(const std::vector<std::string> &frames, const std::string &part) {
    int count = 0;
    for (const auto &frame : frames) count += frame.find(part) != std::string::npos;
    return count;
}

TEST_F(ProcessesTest, TwoProcessesShareOneComPort) {
    SerialSim sim({"--axes", "1"});
    const int32_t handle = lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232);
    ASSERT_GT(handle, 0) << LastError();
    ChildProcess child;
    ASSERT_TRUE(child.running());
    ASSERT_EQ(child.Command("load " + copy_.path()), "OK");
    // The second process joins the channel through the shared slot table: its own duplicate of
    // the port handle and of the channel's mutex.
    const auto opened = child.Command("open " + sim.PortName() + " 1");
    ASSERT_TRUE(opened && opened->rfind("OK ", 0) == 0) << opened.value_or("no reply");
    // The port runs with the time-outs of kernel.cfg beside the DLL (100, 5 and 150 ms).
    EXPECT_EQ(child.Command("timeouts"), "OK 100 5 150");
    // Both handles lead to one port object: time-outs set through this process's handle are
    // those of the child's (a port opened a second time would have its own).
    COMMTIMEOUTS distinct{111, 7, 222, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), &distinct));
    EXPECT_EQ(child.Command("timeouts"), "OK 111 7 222");
    sim.History();
    ASSERT_EQ(child.Command("send 1 2345"), "OK");
    DriveMessage message{1, 0x0010, 0x6789, {0x0042}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    const auto frames = sim.History();
    EXPECT_EQ(Count(frames, ":0010:2345:0042"), 1);
    EXPECT_EQ(Count(frames, ":0010:6789:0042"), 1);

    // The child moves the line to 19200; this process applies the new settings at its next call.
    ASSERT_EQ(child.Command("baud 19200"), "OK");
    EXPECT_EQ(lib.MSK_GetBaudRate(), 19200u);
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_EQ(Count(sim.History(), "19200:0010:6789:0042"), 1);

    // The child goes; the port stays open for this process.
    ASSERT_EQ(child.Command("exit"), "OK");
    EXPECT_EQ(child.Wait(), 0u);
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
}

TEST_F(ProcessesTest, AProcessThatEndsWithoutUnloadingBlocksNobody) {
    SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    {
        ChildProcess doomed;
        ASSERT_EQ(doomed.Command("load " + copy_.path()), "OK");
        const auto opened = doomed.Command("open " + sim.PortName() + " 1");
        ASSERT_TRUE(opened && opened->rfind("OK ", 0) == 0) << opened.value_or("no reply");
        doomed.Command("crash", std::chrono::milliseconds(500));
        EXPECT_EQ(doomed.Wait(), 3u);
    }
    // Its slots are taken back at the next attach; a newcomer joins as usual.
    ChildProcess next;
    ASSERT_EQ(next.Command("load " + copy_.path()), "OK");
    const auto opened = next.Command("open " + sim.PortName() + " 1");
    ASSERT_TRUE(opened && opened->rfind("OK ", 0) == 0) << opened.value_or("no reply");
    EXPECT_EQ(next.Command("send 1 0101"), "OK");
    DriveMessage message{1, 0x0010, 0x6789, {0x0042}};
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
}

// The platform's mutexes themselves: a handle duplicated out of this process by another one,
// whose holder then ends without releasing it.
TEST(Win32Platform, AMutexWhoseHolderDiedIsReportedAbandoned) {
    using namespace zorcomm::platform;
    const MutexHandle mutex = CreateMutex(false);
    ASSERT_NE(mutex, 0u);
    {
        ChildProcess holder;
        ASSERT_EQ(holder.Command("take-mutex " + std::to_string(GetCurrentProcessId()) + " " +
                                 std::to_string(mutex)),
                  "OK");
        holder.Command("crash", std::chrono::milliseconds(500));
        EXPECT_EQ(holder.Wait(), 3u);
    }
    EXPECT_EQ(WaitMutex(mutex), WaitResult::Abandoned);
    EXPECT_EQ(WaitMutex(mutex), WaitResult::Acquired) << "recursive for its owner";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex)) << "not owned any more";
    EXPECT_EQ(DuplicateMutex(GetCurrentProcessId(), 0), 0u);
    EXPECT_TRUE(CloseMutex(mutex));
    EXPECT_TRUE(ProcessAlive(GetCurrentProcessId()));
}

} // namespace
