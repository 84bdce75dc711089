// Vendor libraries counted per process, and one adapter used by two processes.
#include "can_fixture.h"

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::VendorDir;
using Clock = std::chrono::steady_clock;

class CanSharingTest : public CanTest {
protected:
    // Whether the process has the library loaded now (asking does not load it).
    static bool Loaded(const char *file) {
        void *handle = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
        if (handle) dlclose(handle);
        return handle != nullptr;
    }
    bool VersionOf(uint16_t axis) {
        char version[8] = {};
        return lib_.MSK_SetActiveDrive(axis) && lib_.MSK_GetDriveVersion(version);
    }
};

TEST_F(CanSharingTest, LibrariesAreLoadedOnceAndReleasedByTheLastChannel) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    ASSERT_FALSE(Loaded("libpcanbasic.so"));
    const int32_t pci = lib.MSK_OpenComm("1", 1, 0, CHANNEL_PEAK_PCAN_PCI);
    ASSERT_GT(pci, 0) << LastError();
    const int32_t usb = lib.MSK_OpenComm("1", 1, 0, CHANNEL_PEAK_PCAN_USB);
    ASSERT_GT(usb, 0) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(pci));
    EXPECT_TRUE(Loaded("libpcanbasic.so"));
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(usb));
    EXPECT_FALSE(Loaded("libpcanbasic.so"));

    // Both versions of IXXAT share one count.
    const int32_t first = lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN);
    ASSERT_GT(first, 0) << LastError();
    const int32_t second = lib.MSK_OpenComm("2", 1, 0, CHANNEL_IXXAT_CAN);
    ASSERT_GT(second, 0) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(first));
    EXPECT_TRUE(Loaded("libvcinpl.so"));
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(second));
    EXPECT_FALSE(Loaded("libvcinpl.so"));
    EXPECT_FALSE(Loaded("libvci11un6.so"));

    // CANLIB is told to let go but stays loaded; it comes back to life at the next open.
    Calls();
    for (int round = 0; round < 2; ++round) {
        const int32_t kvaser = lib.MSK_OpenComm("1", 1, 0, CHANNEL_KVASER_CAN);
        ASSERT_GT(kvaser, 0) << LastError();
        EXPECT_TRUE(VersionOf(2)) << LastError();
        EXPECT_TRUE(lib.MSK_CloseComm(kvaser));
        const auto calls = CallsBut({"canRead", "canWrite"});
        EXPECT_EQ(Count(calls, "canInitializeLibrary"), 1u);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "canUnloadLibrary");
        EXPECT_TRUE(Loaded("libcanlib.so"));
    }
}

// A second process on the same adapter opens its own connection to it and shares the channel's
// lock: its traffic and the first process's never overlap.
TEST_F(CanSharingTest, TwoProcessesOnOneAdapter) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    Start("[ZORCOMM]\nCAN_SEND_TIMEOUT=200\nCAN_RECEIVE_TIMEOUT=1000\n", false);
    ztest::Child other([](ztest::Child &self) { return ztest::LibraryProcess(self); });
    ASSERT_EQ(other.Read(), "loaded");
    auto &lib = lib_ = ztest::LoadLibrary();
    const int32_t handle = lib.MSK_OpenComm("1", 1, 0, CHANNEL_ESD_CAN);
    ASSERT_GT(handle, 0) << LastError();

    other.Send("open 1 1 0 5");
    const auto opened = other.Read();
    ASSERT_TRUE(opened && opened->rfind("ok ", 0) == 0) << opened.value_or("nothing");
    const std::string otherHandle = opened->substr(3);
    EXPECT_EQ(Count(Calls(), "canOpen "), 2u);
    // Its own connection carries its traffic: a query and the drive's answer.
    other.Send("send 0x20 0xD801 0x10");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("receive");
    EXPECT_EQ(other.Read(), "ok 0x10 0xd801 0x3132 0x3048");

    // While the other process waits for a message, this one's call waits for the lock.
    other.Send("receive");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    EXPECT_GE(lib.MSK_GetBytesCountInQueue(), 0) << LastError();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    const auto received = other.Read();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->rfind("fail", 0), 0u) << *received;

    other.Send("close " + otherHandle);
    EXPECT_EQ(other.Read(), "ok");
    EXPECT_EQ(Count(Calls(), "canClose "), 1u);
    other.Send("quit");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

} // namespace
