// Drive messages over the CAN adapters: the receive queue and the input count, the receive
// variants of the families, bit rates, and the rules about the host's own axis.
#include "can_fixture.h"

#include <set>

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::VendorDir;
using Clock = std::chrono::steady_clock;

struct QueueCase {
    const char *name;
    const char *variant;
    uint8_t type;
    int32_t recordSize;
    bool callback; // frames reach the queue by themselves, and what does not fit is dropped
};

void PrintTo(const QueueCase &c, std::ostream *out) { *out << c.name; }

const QueueCase kQueueCases[] = {
    {"IxxatV3", "", CHANNEL_IXXAT_CAN, 20, false},       {"IxxatV2", "v2-only", CHANNEL_IXXAT_CAN, 18, true},
    {"SysTec", "", CHANNEL_SYS_TEC_USBCAN, 18, false},   {"Esd", "", CHANNEL_ESD_CAN, 16, false},
    {"Kvaser", "", CHANNEL_KVASER_CAN, 16, false},       {"Peak", "", CHANNEL_PEAK_PCAN_PCI, 14, false},
};

class CanQueueTest : public CanTest, public ::testing::WithParamInterface<QueueCase> {
protected:
    // Polls the input count until it is `expected` (bounded); the last count.
    int32_t AwaitCount(int32_t expected) {
        int32_t count = -2;
        for (auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline;) {
            count = lib_.MSK_GetBytesCountInQueue();
            if (count == expected) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return count;
    }
    void Unsolicited(ztest::SimProcess &bus, int first, int count) {
        for (int i = first; i < first + count; ++i)
            ASSERT_EQ(bus.Command("unsolicited 2 0x1234 " + std::to_string(i)), "OK");
    }
    void ExpectReceived(int word) {
        DriveMessage message{};
        ASSERT_TRUE(lib_.MSK_ReceiveMessage(&message)) << LastError();
        EXPECT_EQ(message.opCode, 0x1234);
        EXPECT_EQ(message.address, 0x0010);
        ASSERT_EQ(message.length, 1);
        EXPECT_EQ(message.data[0], word);
    }
};

TEST_P(CanQueueTest, MessagesWaitInTheQueueInOrder) {
    const QueueCase &c = GetParam();
    if (!InProcessWithSearchPath(VendorDir(c.variant))) return;
    auto bus = StartBus({"--axes", "2", "--pc-address", "0x10"});
    auto &lib = Start();
    const int32_t handle = lib.MSK_OpenComm("1", 1, 0, c.type);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);

    Unsolicited(*bus, 1, 2);
    EXPECT_EQ(AwaitCount(2 * c.recordSize), 2 * c.recordSize);
    ExpectReceived(1);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), c.recordSize);
    ExpectReceived(2);

    // The queue holds 32; the count reads no further frames from the adapter then.
    Unsolicited(*bus, 100, 40);
    EXPECT_EQ(AwaitCount(32 * c.recordSize), 32 * c.recordSize);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 32 * c.recordSize);
    for (int i = 100; i < 132; ++i) ExpectReceived(i);
    if (c.callback) {
        // The callback had to drop the objects of its batches that no longer fitted.
        DriveMessage message{};
        EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
    } else {
        for (int i = 132; i < 140; ++i) ExpectReceived(i);
    }
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

INSTANTIATE_TEST_SUITE_P(Families, CanQueueTest, ::testing::ValuesIn(kQueueCases),
                         [](const auto &info) { return std::string(info.param.name); });

class CanTrafficTest : public CanTest {};

std::vector<std::thread::id> &TraceThreads() {
    static std::vector<std::thread::id> threads;
    return threads;
}

// The version 2 library hands frames over on its own thread; the application's log handler
// still hears of them only on its own thread, inside its calls.
TEST_F(CanTrafficTest, IxxatV2TracesOnTheCallersThread) {
    if (!InProcessWithSearchPath(VendorDir("v2-only"))) return;
    auto bus = StartBus({"--axes", "2", "--pc-address", "0x10"});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN), 0) << LastError();
    TraceThreads().clear();
    lib.MSK_RegisterDebugLogHandler(3, [](const char *line) {
        if (std::string(line).find("CAN Message Received") != std::string::npos)
            TraceThreads().push_back(std::this_thread::get_id());
    });
    ASSERT_EQ(bus->Command("unsolicited 2 0x1234 7"), "OK");
    ASSERT_EQ(bus->Command("unsolicited 2 0x1234 8"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    DriveMessage message{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&message)) << LastError();
    EXPECT_EQ(message.data[0], 7);
    ASSERT_EQ(TraceThreads().size(), 2u);
    for (const auto &id : TraceThreads()) EXPECT_EQ(id, std::this_thread::get_id());
    lib.MSK_RegisterDebugLogHandler(0, nullptr);
}

TEST_F(CanTrafficTest, KvaserReadsOnceAndReportsErrorFrames) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start("[ZORCOMM]\nCAN_RECEIVE_TIMEOUT=2000\n");
    ASSERT_GT(lib.MSK_OpenComm("1", 1, 0, CHANNEL_KVASER_CAN), 0) << LastError();
    DriveMessage message{};
    const auto start = Clock::now();
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
    // No waiting for the receive time-out.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    ASSERT_EQ(bus->Command("error-frame"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
    EXPECT_EQ(LastError(), Text(0x200000c6));
    // A frame for another host does not count.
    ASSERT_EQ(bus->Command("pc-address 0x30"), "OK");
    ASSERT_EQ(bus->Command("unsolicited 2 0x1234 1"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
}

// Rates outside the table, and the esd adapter's missing 800 kbit/s, fail before any call.
TEST_F(CanTrafficTest, BitRatesOfTheTable) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    // (The esd and Kvaser stand-ins number their handles alike, so one channel at a time.)
    const int32_t esd = lib.MSK_OpenComm("1", 1, 0, CHANNEL_ESD_CAN);
    ASSERT_GT(esd, 0) << LastError();
    Calls();
    for (uint32_t rate : {100000u, 800000u, 56000u}) {
        EXPECT_FALSE(lib.MSK_SetBaudRate(rate)) << rate;
        EXPECT_EQ(LastError(), Text(0x20000064)) << rate;
    }
    EXPECT_TRUE(lib.MSK_SetBaudRate(500000));
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_TRUE(lib.MSK_SetBaudRate(1000000));
    EXPECT_TRUE(lib.MSK_SetBaudRate(125000));
    EXPECT_TRUE(Match(CallsBut({"canRead", "canTake"}), {"canSetBaudrate $h 0", "canSetBaudrate $h 6"}));
    EXPECT_TRUE(lib.MSK_CloseComm(esd));

    const int32_t kvaser = lib.MSK_OpenComm("1", 1, 0, CHANNEL_KVASER_CAN);
    ASSERT_GT(kvaser, 0) << LastError();
    Calls();
    EXPECT_TRUE(lib.MSK_SetBaudRate(800000));
    EXPECT_TRUE(lib.MSK_SetBaudRate(1000000));
    EXPECT_FALSE(lib.MSK_SetBaudRate(100000));
    EXPECT_TRUE(Match(CallsBut({"canRead"}), {"canSetBusParams $k 800000 0 0 0 0 0", "canSetBusParams $k -1 0 0 0 0 0"}));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 1000000u);
    // The drives at 1 Mbit/s answer the adapter now running at that rate.
    EXPECT_EQ(bus->Command("bitrate 1000000"), "OK 1000000");
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
}

// The PC is the host axis on a CAN bus: nothing goes to its own address, and drive queries
// are tried once, a reset's check of the drive up to NO_TRIES times.
TEST_F(CanTrafficTest, TheHostAxisIsThePc) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2,3", "--protocol", "torvanecan"});
    auto &lib = Start();
    EXPECT_EQ(lib.MSK_OpenComm("1", 0, 0, CHANNEL_SYS_TEC_USBCAN | CHANNEL_PROTOCOL_TORVANECAN), -1);
    EXPECT_EQ(LastError(), Text(0x2000006b));
    EXPECT_TRUE(Calls().empty());
    const int32_t handle = lib.MSK_OpenComm("1", 1, 0, CHANNEL_SYS_TEC_USBCAN | CHANNEL_PROTOCOL_TORVANECAN);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_FALSE(lib.MSK_SetHostDrive(0));
    EXPECT_EQ(LastError(), Text(0x2000006b));
    Calls();

    DriveMessage toHost{2, 0x0010, 0x1234, {1, 2}};
    EXPECT_FALSE(lib.MSK_SendMessage(&toHost));
    EXPECT_EQ(LastError(), Text(0x2000007f));
    char version[8] = {};
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_EQ(LastError(), Text(0x2000007f));
    EXPECT_EQ(Count(Calls(), "UcanWriteCanMsg"), 0u);

    // A read of drive 3's program memory and its answer, through the exports.
    ASSERT_EQ(bus->Command("poke 3 program 0x100 0xBEEF"), "OK");
    DriveMessage read{2, 0x0030, 0xB000, {0x0010, 0x0100}};
    ASSERT_TRUE(lib.MSK_SendMessage(&read)) << LastError();
    DriveMessage answer{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&answer)) << LastError();
    EXPECT_EQ(answer.opCode, 0xB404);
    ASSERT_EQ(answer.length, 3);
    EXPECT_EQ(answer.data[0], 0x0030);
    EXPECT_EQ(answer.data[1], 0x0100);
    EXPECT_EQ(answer.data[2], 0xBEEF);
    BusMessages(*bus);

    // Nobody answers axis 9: one query only.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(9));
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_EQ(LastError(), Text(0x20000069));
    EXPECT_EQ(BusMessages(*bus, "pc"), std::vector<std::string>{"0090:D801:0010"});
    EXPECT_FALSE(lib.MSK_ResetDrive());
    EXPECT_EQ(BusMessages(*bus, "pc"),
              (std::vector<std::string>{"0090:0402", "0090:D801:0010", "0090:D801:0010", "0090:D801:0010"}));
    // Drive 3 is back after its reset and answers the check.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(3));
    EXPECT_TRUE(lib.MSK_ResetDrive()) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

// A new host whose adapter filter cannot be set: the call succeeds as documented, but neither
// the host nor the active drive moves, so the active drive is still reached.
TEST_F(CanTrafficTest, AHostTheFilterCannotFollowMovesNeitherAddress) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2,5"});
    auto &lib = Start();
    const std::pair<uint8_t, const char *> cases[] = {
        {CHANNEL_ESD_CAN, "canIdDelete=0xE0000005,1"},
        {CHANNEL_KVASER_CAN, "canSetAcceptanceFilter=-3,1"},
    };
    for (const auto &[type, fail] : cases) {
        SCOPED_TRACE(fail);
        const int32_t handle = lib.MSK_OpenComm("1", 1, 0, type);
        ASSERT_GT(handle, 0) << LastError();
        setenv("ZORCOMM_VENDOR_FAIL", fail, 1);
        EXPECT_TRUE(lib.MSK_SetHostDrive(5));
        unsetenv("ZORCOMM_VENDOR_FAIL");
        uint16_t host = 0, active = 0;
        ASSERT_TRUE(lib.MSK_GetHostDrive(&host));
        ASSERT_TRUE(lib.MSK_GetActiveDrive(&active)) << LastError();
        EXPECT_EQ(host, 1);
        EXPECT_EQ(active, 1);
        char version[8] = {};
        ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
        EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
        // With the filter set, both move.
        ASSERT_TRUE(lib.MSK_SetActiveDrive(1));
        EXPECT_TRUE(lib.MSK_SetHostDrive(4)) << LastError();
        ASSERT_TRUE(lib.MSK_GetActiveDrive(&active)) << LastError();
        EXPECT_EQ(active, 4);
        EXPECT_TRUE(lib.MSK_CloseComm(handle));
    }
}

// Vendor results of sends and receives become library errors; the VCI time-out is "not sent".
TEST_F(CanTrafficTest, SendAndReceiveFailuresAreMapped) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    const int32_t ixxat = lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN);
    ASSERT_GT(ixxat, 0) << LastError();
    DriveMessage message{1, 0x0020, 0x1234, {5}};
    setenv("ZORCOMM_VENDOR_FAIL", "canChannelSendMessage=0xE001000B,1", 1);
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x2000010a));
    setenv("ZORCOMM_VENDOR_FAIL", "canChannelReadMessage=0xE0010004,1", 1);
    DriveMessage received{};
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&received));
    EXPECT_EQ(LastError(), Text(0x20000103));
    setenv("ZORCOMM_VENDOR_FAIL", "canChannelPeekMessage=0xE0010007,1", 1);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), -1);
    EXPECT_EQ(LastError(), Text(0x20000084));
    unsetenv("ZORCOMM_VENDOR_FAIL");
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();

    const int32_t peak = lib.MSK_OpenComm("2", 1, 0, CHANNEL_PEAK_PCAN_USB);
    ASSERT_GT(peak, 0) << LastError();
    setenv("ZORCOMM_VENDOR_FAIL", "CAN_Read=0x8,1", 1);
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&received));
    EXPECT_EQ(LastError(), Text(0x200000a3));
    setenv("ZORCOMM_VENDOR_FAIL", "CAN_Write=0x10,1", 1);
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x200000a4));
}

struct WaitCase {
    const char *name;
    const char *variant;
    uint8_t type;
};

void PrintTo(const WaitCase &c, std::ostream *out) { *out << c.name; }

// The adapter is polled (PCAN-Basic), or frames reach the queue by themselves (IXXAT V2).
const WaitCase kWaitCases[] = {{"Peak", "", CHANNEL_PEAK_PCAN_PCI}, {"IxxatV2", "v2-only", CHANNEL_IXXAT_CAN}};

class CanReplyWaitTest : public CanTest, public ::testing::WithParamInterface<WaitCase> {};

// A reply wait sleeps until the answer could first have crossed the paced bus: answers that
// come later than that, at a slower bit rate or after a message of the drive's own, are still
// taken, and the receive time-out still counts from the start of the wait.
TEST_P(CanReplyWaitTest, LateAnswersAreTakenAndTheTimeOutHolds) {
    const WaitCase &c = GetParam();
    if (!InProcessWithSearchPath(VendorDir(c.variant))) return;
    auto bus = StartBus({"--axes", "2"});
    ASSERT_EQ(bus->Command("pace on"), "OK on");
    auto &lib = Start();
    const int32_t handle = lib.MSK_OpenComm("1", 1, 0, c.type);
    ASSERT_GT(handle, 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    ASSERT_EQ(bus->Command("poke 2 data 0x200 0x1111"), "OK");
    uint16_t word = 0;
    ASSERT_TRUE(lib.MSK_ReceiveData(&word, 0x200, MEMORY_DATA, 1)) << LastError();
    EXPECT_EQ(word, 0x1111);

    // 20 ms late, with a message of the drive's own on the bus meanwhile.
    ASSERT_EQ(bus->Command("fault delay 20 1"), "OK");
    std::thread drive([&bus] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(bus->Command("unsolicited 2 0x4321 7"), "OK");
    });
    word = 0;
    EXPECT_TRUE(lib.MSK_ReceiveData(&word, 0x200, MEMORY_DATA, 1)) << LastError();
    drive.join();
    EXPECT_EQ(word, 0x1111);
    DriveMessage own{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&own)) << LastError();
    EXPECT_EQ(own.opCode, 0x4321);
    EXPECT_EQ(own.data[0], 7);

    // At 125 kbit/s the first pause is longer than the longest one of the back-off.
    ASSERT_EQ(bus->Command("bitrate 125000"), "OK 125000");
    ASSERT_TRUE(lib.MSK_SetBaudRate(125000)) << LastError();
    ASSERT_EQ(bus->Command("poke 2 data 0x200 0x2222"), "OK");
    for (int i = 0; i < 3; ++i) {
        word = 0;
        ASSERT_TRUE(lib.MSK_ReceiveData(&word, 0x200, MEMORY_DATA, 1)) << LastError();
        EXPECT_EQ(word, 0x2222);
    }

    // Later than the receive time-out (200 ms): the read gives up, and not before it (less the
    // millisecond of the tick count it is measured in).
    ASSERT_EQ(bus->Command("fault delay 400 1"), "OK");
    const auto start = Clock::now();
    EXPECT_FALSE(lib.MSK_ReceiveData(&word, 0x200, MEMORY_DATA, 1));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(199));
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

INSTANTIATE_TEST_SUITE_P(Families, CanReplyWaitTest, ::testing::ValuesIn(kWaitCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
