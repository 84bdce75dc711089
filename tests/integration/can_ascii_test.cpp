// The serial ASCII CAN adapter (channel type 9) through the exports: `zorcomm-sim ascii-can`
// on a pseudo terminal, joined to the simulated bus with the drives.
#include "can_fixture.h"

namespace {

using ztest::CanTest;
using Clock = std::chrono::steady_clock;

const char *kFlushAndSetUp = "OK - - - - - - - - - C Z0 S6 M00000000 mFFFFFFFF O";

class AsciiCanLinkTest : public CanTest {
protected:
    // The bus with drive 2 on it and the adapter on COM9.
    void StartAdapter(const std::string &settings = ztest::kCanSettings, bool load = true) {
        bus_ = StartBus({"--axes", "2", "--pc-address", "0x10"});
        adapter_ = std::make_unique<ztest::SimProcess>(std::vector<std::string>{"ascii-can"});
        const std::string &line = adapter_->firstLine();
        ASSERT_EQ(line.rfind("PTY ", 0), 0u) << line;
        setenv("ZORCOMM_COM9", line.substr(4).c_str(), 1);
        Start(settings, load);
    }
    std::string Version() {
        char version[8] = {};
        if (!lib_.MSK_SetActiveDrive(2) || !lib_.MSK_GetDriveVersion(version)) return "fail " + LastError();
        return version;
    }
    std::string History() { return adapter_->Command("history"); }
    // The adapter opened by this process and then joined by `other` (a library process); this
    // process's handle, 0 when either open failed.
    int32_t OpenInThisAndOther(ztest::Child &other) {
        EXPECT_EQ(other.Read(), "loaded");
        lib_ = ztest::LoadLibrary();
        const int32_t handle = lib_.MSK_OpenComm("COM9", 1, 0, CHANNEL_LAWICEL_USBCAN);
        EXPECT_GT(handle, 0) << LastError();
        History();
        other.Send("open COM9 1 0 9");
        const auto opened = other.Read();
        const bool joined = opened && opened->rfind("ok ", 0) == 0;
        EXPECT_TRUE(joined) << opened.value_or("nothing");
        return joined ? handle : 0;
    }
    // For commands no answer is waited for: the pseudo terminal hands bytes on a moment later.
    std::string HistoryUntil(const std::string &expected) {
        std::string seen = History();
        for (auto deadline = Clock::now() + std::chrono::seconds(2); seen != expected && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::string more = History();
            if (more.size() > 2) seen += more.substr(2);
        }
        return seen;
    }

    std::unique_ptr<ztest::SimProcess> bus_, adapter_;
};

TEST_F(AsciiCanLinkTest, SetsTheAdapterUpAndTalksUnderBothProtocols) {
    StartAdapter();
    auto &lib = lib_;
    int32_t handle = lib.MSK_OpenComm("COM9", 1, 0, CHANNEL_LAWICEL_USBCAN);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(History(), kFlushAndSetUp);
    EXPECT_EQ(adapter_->Command("state"), "OK open=1 rate=500000 timestamps=0 code=00000000 mask=FFFFFFFF status=00");
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_EQ(Version(), "F120H");
    EXPECT_EQ(History(), "OK T1B0040012" "1000");
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(HistoryUntil("OK C"), "OK C");

    EXPECT_EQ(bus_->Command("protocol torvanecan"), "OK torvanecan");
    handle = lib.MSK_OpenComm("COM9", 1, 0, CHANNEL_LAWICEL_USBCAN | CHANNEL_PROTOCOL_TORVANECAN);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(History(), kFlushAndSetUp);
    EXPECT_EQ(Version(), "F120H");
    EXPECT_EQ(History(), "OK t122401D81000");
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

TEST_F(AsciiCanLinkTest, BitRateChangesRunTheSetUpAgain) {
    StartAdapter();
    auto &lib = lib_;
    ASSERT_GT(lib.MSK_OpenComm("COM9", 1, 0, CHANNEL_LAWICEL_USBCAN), 0) << LastError();
    History();

    // A refused step ends the set-up with the adapter's reason; the rate stays.
    ASSERT_EQ(adapter_->Command("status 0x80"), "OK");
    ASSERT_EQ(adapter_->Command("fault refuse-command 2"), "OK");
    EXPECT_FALSE(lib.MSK_SetBaudRate(250000));
    EXPECT_EQ(LastError(), Text(0x200000fb));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_EQ(History(), "OK - - - - - - - - - C Z0 F");

    EXPECT_FALSE(lib.MSK_SetBaudRate(100000));
    EXPECT_EQ(LastError(), Text(0x20000064));
    EXPECT_EQ(History(), "OK");

    ASSERT_TRUE(lib.MSK_SetBaudRate(250000)) << LastError();
    EXPECT_EQ(History(), "OK - - - - - - - - - C Z0 S5 M00000000 mFFFFFFFF O");
    EXPECT_EQ(lib.MSK_GetBaudRate(), 250000u);
    EXPECT_EQ(Version().rfind("fail", 0), 0u) << "the drives still run at 500 kbit/s";
    EXPECT_EQ(bus_->Command("bitrate 250000"), "OK 250000");
    EXPECT_EQ(Version(), "F120H");
}

TEST_F(AsciiCanLinkTest, InputCountReceiveAndUpdatedTimeouts) {
    StartAdapter("[ZORCOMM]\nCAN_SEND_TIMEOUT=200\nCAN_RECEIVE_TIMEOUT=300\n");
    auto &lib = lib_;
    ASSERT_GT(lib.MSK_OpenComm("9", 1, 0, CHANNEL_LAWICEL_USBCAN), 0) << LastError();
    // Two frames from the bus wait at the port: "T", 8 identifier digits, the length, 4 data
    // digits and CR each.
    for (int word : {1, 2}) ASSERT_EQ(bus_->Command("unsolicited 2 0x1234 " + std::to_string(word)), "OK");
    int32_t count = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline && count < 30;)
        count = lib.MSK_GetBytesCountInQueue();
    EXPECT_EQ(count, 30);
    DriveMessage message{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&message)) << LastError();
    EXPECT_EQ(message.opCode, 0x1234);
    EXPECT_EQ(message.data[0], 1);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 15);
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&message)) << LastError();
    EXPECT_EQ(message.data[0], 2);

    // A silent bus: the receive gives up after the receive time-out, before and after the
    // settings are applied again.
    for (bool updated : {false, true}) {
        if (updated) {
            EXPECT_TRUE(lib.MSK_UpdateSettings()) << LastError();
        }
        const auto start = Clock::now();
        EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    }
}

TEST_F(AsciiCanLinkTest, TransmitsTheAdapterDoesNotConfirm) {
    StartAdapter();
    auto &lib = lib_;
    ASSERT_GT(lib.MSK_OpenComm("COM9", 1, 0, CHANNEL_LAWICEL_USBCAN), 0) << LastError();
    DriveMessage message{1, 0x0020, 0x1234, {5}};
    ASSERT_EQ(adapter_->Command("fault refuse-transmit 1"), "OK");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x2000006f));
    ASSERT_EQ(adapter_->Command("fault withhold-confirm 1"), "OK");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x20000076));
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    // The confirmation of a standard frame on a 29-bit channel is none.
    ASSERT_EQ(adapter_->Command("fault wrong-confirm 1"), "OK");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x2000006f));
    // Frames that cannot be written are refused before anything is sent.
    History();
    DriveMessage tooLong{5, 0x0020, 0x1234, {}};
    EXPECT_FALSE(lib.MSK_SendMessage(&tooLong));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_EQ(History(), "OK");
}

// A second process joins the port without setting the adapter up again, and its leaving does not
// close the adapter under the first one.
TEST_F(AsciiCanLinkTest, TwoProcessesOnOneAdapter) {
    StartAdapter(ztest::kCanSettings, false);
    ztest::Child other([](ztest::Child &self) { return ztest::LibraryProcess(self); });
    const int32_t handle = OpenInThisAndOther(other);
    ASSERT_GT(handle, 0);
    auto &lib = lib_;
    EXPECT_EQ(History(), "OK");
    other.Send("getbaud");
    EXPECT_EQ(other.Read(), "ok 500000");
    other.Send("send 0x20 0xD801 0x10");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("receive");
    EXPECT_EQ(other.Read(), "ok 0x10 0xd801 0x3132 0x3048");
    other.Send("close -1");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("quit");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(History(), "OK T1B0040012" "1000");

    EXPECT_EQ(Version(), "F120H");
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(HistoryUntil("OK T1B0040012" "1000 C"), "OK T1B0040012" "1000 C");
}

// A process killed in the middle of an exchange leaves on the port they share the start of a
// command and the adapter's answers to its question. The survivor's first call reports the
// abandoned lock; from its next call on the port is in step again.
TEST_F(AsciiCanLinkTest, AProcessKilledInAnExchangeLeavesThePortInStep) {
    StartAdapter(ztest::kCanSettings, false);
    ztest::Child other([](ztest::Child &self) { return ztest::LibraryProcess(self); });
    const int32_t handle = OpenInThisAndOther(other);
    ASSERT_GT(handle, 0);
    auto &lib = lib_;
    other.Send("setactive 2");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("die-in-write t1B00");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("version");
    EXPECT_EQ(other.Wait(), 128 + SIGKILL);

    EXPECT_EQ(Version(), "fail " + Text(0x20000066));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Version(), "F120H") << i;
    uint16_t word = 0x1234, back = 0;
    ASSERT_TRUE(lib.MSK_SendData(&word, 0x4200, MEMORY_DATA, 1)) << LastError();
    ASSERT_TRUE(lib.MSK_ReceiveData(&back, 0x4200, MEMORY_DATA, 1)) << LastError();
    EXPECT_EQ(back, word);
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

} // namespace
