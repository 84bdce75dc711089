// SocketCAN channels through the exports. This machine's kernel has no CAN sockets, so each test
// body runs in a process with the interposer of sim/socketcan/ preloaded: the library's own
// system calls then meet simulated interfaces on `zorcomm-sim can-bus`, and the stand-in
// libsocketcan.so.2 sets their bit rate. The last test runs against a real kernel's vcan0 where
// there is one.
#include "can_fixture.h"

#include <linux/can.h>
#include <linux/can/error.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using Clock = std::chrono::steady_clock;

const std::string kSocketCanDir = std::string(ZORCOMM_BINARY_DIR) + "/sim/socketcan";
const std::string kInterposer = kSocketCanDir + "/libzorcomm-socketcan-sim.so";

std::vector<std::string> &LogLines() {
    static std::vector<std::string> lines;
    return lines;
}

class SocketCanTest : public CanTest {
protected:
    // The body's process: the interposer in front of the library, libsocketcan from `library`.
    static bool InSimulatedKernel(const std::string &library = kSocketCanDir + "/lib") {
        std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
        if (const char *given = std::getenv("ASAN_OPTIONS"); given && *given) asan += std::string(":") + given;
        return InProcessWithSearchPath(library, {"LD_PRELOAD=" + kInterposer, asan});
    }

    // The simulated interfaces (all CAN, up, at 500 kbit/s unless `lines` say otherwise).
    void Interfaces(const std::map<std::string, std::string> &interfaces) {
        if (!interfacesDir_) interfacesDir_ = std::make_unique<ztest::TempDir>();
        setenv("ZORCOMM_SOCKETCAN_DIR", interfacesDir_->path().c_str(), 1);
        for (const auto &[name, line] : interfaces) {
            // An interface keeps its index when its file is written again.
            const unsigned index = indexes_.emplace(name, 5 + indexes_.size()).first->second;
            // Replaced whole, as the stand-in libsocketcan replaces it.
            const std::string part = interfacesDir_->File("." + name);
            std::FILE *file = std::fopen(part.c_str(), "w");
            ASSERT_NE(file, nullptr);
            std::fprintf(file, "index=%u %s\n", index, line.c_str());
            std::fclose(file);
            ASSERT_EQ(std::rename(part.c_str(), interfacesDir_->File(name).c_str()), 0);
        }
    }
    std::string InterfaceFile(const std::string &name) {
        std::ifstream in(interfacesDir_->File(name));
        std::string line;
        std::getline(in, line);
        return line;
    }
    void CollectLog(int level) {
        LogLines().clear();
        lib_.MSK_RegisterDebugLogHandler(level, [](const char *line) { LogLines().push_back(line); });
    }
    static size_t Logged(const std::string &part) {
        size_t n = 0;
        for (const auto &line : LogLines()) n += line.find(part) != std::string::npos;
        return n;
    }
    // The bus's clients, empty when nobody is on it.
    static std::string NoClients(ztest::SimProcess &bus) {
        std::string text = bus.Command("clients");
        return text.size() > 3 ? text.substr(3) : "";
    }
    bool VersionOf(uint16_t axis) {
        char version[8] = {};
        return lib_.MSK_SetActiveDrive(axis) && lib_.MSK_GetDriveVersion(version) &&
               std::string(version) == "F120H";
    }
    // Messages waiting in the queue, counted by the input count (16 bytes each).
    int32_t Waiting() {
        int32_t count = -1;
        for (auto deadline = Clock::now() + std::chrono::milliseconds(300); Clock::now() < deadline;) {
            count = lib_.MSK_GetBytesCountInQueue();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return count < 0 ? count : count / 16;
    }

    std::unique_ptr<ztest::TempDir> interfacesDir_;
    std::map<std::string, unsigned> indexes_;
};

class SocketCanProtocolTest : public SocketCanTest, public ::testing::WithParamInterface<uint8_t> {};

// Open, a drive's answer, the host's filters and their move to a new host, and close, under
// both identifier schemes.
TEST_P(SocketCanProtocolTest, OpensExchangesFiltersFollowsTheHostAndCloses) {
    if (!InSimulatedKernel()) return;
    const uint8_t protocol = GetParam();
    const bool torvane = protocol == CHANNEL_PROTOCOL_TORVANECAN;
    auto bus = StartBus({"--axes", "2,3", "--protocol", torvane ? "torvanecan" : "orv", "--pc-address", "0x10"});
    Interfaces({{"can0", "type=can"}});
    auto &lib = Start();
    const int32_t handle = lib.MSK_OpenComm("can0", 1, 0, static_cast<uint8_t>(CHANNEL_SOCKETCAN | protocol));
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_EQ(BusMessages(*bus, "pc").back(), "0020:D801:0010");

    // Only what is addressed to the host passes: not traffic for another axis, not a frame of
    // the other scheme, not a remote request; what passes arrives once.
    ASSERT_EQ(bus->Command("unsolicited 2 0x1234 7"), "OK");
    ASSERT_EQ(bus->Command("frame 0x30 0x1234 8"), "OK");
    ASSERT_EQ(bus->Command(torvane ? "inject ext 0x1002020 1 2" : "inject std 0x121 0x34 0x12"), "OK");
    ASSERT_EQ(bus->Command(torvane ? "inject rtr-std 0x121" : "inject rtr-ext 0x2002000"), "OK");
    EXPECT_EQ(Waiting(), 1);
    DriveMessage message{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&message)) << LastError();
    EXPECT_EQ(message.opCode, 0x1234);
    EXPECT_EQ(message.data[0], 7);
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));

    // A new host: the filters move with it.
    ASSERT_TRUE(lib.MSK_SetHostDrive(4)) << LastError();
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_EQ(BusMessages(*bus, "pc").back(), "0020:D801:0040");
    ASSERT_EQ(bus->Command("frame 0x10 0x1234 9"), "OK");
    ASSERT_EQ(bus->Command("frame 0x40 0x1234 10"), "OK");
    EXPECT_EQ(Waiting(), 1);
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&message)) << LastError();
    EXPECT_EQ(message.data[0], 10);

    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(NoClients(*bus), "");
}

INSTANTIATE_TEST_SUITE_P(Schemes, SocketCanProtocolTest,
                         ::testing::Values(CHANNEL_PROTOCOL_ORV, CHANNEL_PROTOCOL_TORVANECAN),
                         [](const auto &info) { return info.param ? std::string("TorvaneCan") : std::string("Orv"); });

TEST_F(SocketCanTest, BlockTransferAndCoffDownload) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "3"});
    Interfaces({{"can0", "type=can"}});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(3));
    std::vector<uint16_t> words(300);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(i * 7 + 1);
    ASSERT_TRUE(lib.MSK_SendBigData(words.data(), 0x4000, MEMORY_DATA, static_cast<uint16_t>(words.size()), nullptr, 0))
        << LastError();
    std::vector<uint16_t> back(words.size());
    ASSERT_TRUE(lib.MSK_ReceiveBigData(back.data(), 0x4000, MEMORY_DATA, static_cast<uint16_t>(back.size()), nullptr, 0))
        << LastError();
    EXPECT_EQ(back, words);

    uint16_t entry = 0;
    const std::string sample = std::string(ZORCOMM_BINARY_DIR) + "/examples/sample.out";
    ASSERT_TRUE(lib.MSK_COFFDownload(sample.c_str(), &entry, nullptr, nullptr, nullptr, 0, 0x1000)) << LastError();
    EXPECT_EQ(entry, 0x8000);
    uint16_t sum = 0;
    EXPECT_TRUE(lib.MSK_CheckSum(0x8000, 0x82BB, &sum)) << LastError();
}

TEST_F(SocketCanTest, BitRateIsReadAndSetWherePermitted) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can bitrate=250000"}, {"can1", "type=can bitrate=250000"}});
    auto &lib = Start();
    // The open brings the interface to the start rate: down, set, up.
    const int32_t handle = lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(CallsBut({"can_get_bittiming", "can_get_state"}),
              (std::vector<std::string>{"can_do_stop can0", "can_set_bitrate can0 500000", "can_do_start can0"}));
    EXPECT_NE(InterfaceFile("can0").find("state=up bitrate=500000"), std::string::npos) << InterfaceFile("can0");
    EXPECT_TRUE(VersionOf(2)) << LastError();

    // The rate as the interface has it, whoever set it; a change to the rate it has costs nothing.
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    ASSERT_TRUE(lib.MSK_SetBaudRate(500000)) << LastError();
    EXPECT_EQ(CallsBut({"can_get_bittiming", "can_get_state"}), std::vector<std::string>{});
    ASSERT_TRUE(lib.MSK_SetBaudRate(125000)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 125000u);
    EXPECT_EQ(CallsBut({"can_get_bittiming", "can_get_state"}),
              (std::vector<std::string>{"can_do_stop can0", "can_set_bitrate can0 125000", "can_do_start can0"}));
    EXPECT_FALSE(lib.MSK_SetBaudRate(100000));
    EXPECT_EQ(LastError(), Text(0x20000064));
    // The socket still works after the interface went down and up again.
    ASSERT_TRUE(lib.MSK_SetBaudRate(500000)) << LastError();
    EXPECT_TRUE(VersionOf(2)) << LastError();

    // Without the right to administer the network: refused, with what to run instead.
    setenv("ZORCOMM_SOCKETCAN_UNPRIVILEGED", "1", 1);
    CollectLog(1);
    EXPECT_FALSE(lib.MSK_SetBaudRate(250000));
    EXPECT_EQ(LastError(), Text(0x2000011d));
    EXPECT_NE(LastError().find("ip link set can0 type can bitrate 500000"), std::string::npos);
    EXPECT_EQ(Logged("Run instead: ip link set can0 down && ip link set can0 type can bitrate 250000 && "
                     "ip link set can0 up"),
              1u);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_TRUE(VersionOf(2)) << LastError();
    // An open that would have to change the rate fails the same way and leaves nothing open.
    EXPECT_EQ(lib.MSK_OpenComm("can1", 1, 0, CHANNEL_SOCKETCAN), -1);
    EXPECT_EQ(LastError(), Text(0x2000011d));
    EXPECT_NE(InterfaceFile("can1").find("bitrate=250000"), std::string::npos) << InterfaceFile("can1");
    EXPECT_EQ(InterfaceFile("can1").find("state=down"), std::string::npos) << InterfaceFile("can1");
    unsetenv("ZORCOMM_SOCKETCAN_UNPRIVILEGED");
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

// A libsocketcan that cannot be bound is no libsocketcan: SocketCAN works, the rate stays.
TEST_F(SocketCanTest, WithoutLibsocketcanThereIsNoBitRateControl) {
    if (!InSimulatedKernel(kSocketCanDir + "/missing-can_set_bitrate")) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can"}});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN), 0) << LastError();
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    EXPECT_TRUE(lib.MSK_SetBaudRate(500000)) << LastError();
    EXPECT_FALSE(lib.MSK_SetBaudRate(250000));
    EXPECT_EQ(LastError(), Text(0x2000011f));
    EXPECT_EQ(Calls(), std::vector<std::string>{});
}

// Every process opens a socket of its own; SocketCAN gives each every frame, the channel's lock
// keeps their exchanges apart.
TEST_F(SocketCanTest, TwoProcessesShareOneInterface) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can"}});
    Start("[ZORCOMM]\nCAN_SEND_TIMEOUT=200\nCAN_RECEIVE_TIMEOUT=1000\n", false);
    ztest::Child other([](ztest::Child &self) { return ztest::LibraryProcess(self); });
    ASSERT_EQ(other.Read(), "loaded");
    auto &lib = lib_ = ztest::LoadLibrary();
    const int32_t handle = lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN);
    ASSERT_GT(handle, 0) << LastError();
    other.Send("open can0 1 0 18");
    const auto opened = other.Read();
    ASSERT_TRUE(opened && opened->rfind("ok ", 0) == 0) << opened.value_or("nothing");
    EXPECT_EQ(Count({bus->Command("clients")}, "OK 1:socketcan:500000:"), 1u);
    other.Send("send 0x20 0xD801 0x10");
    EXPECT_EQ(other.Read(), "ok");
    other.Send("receive");
    EXPECT_EQ(other.Read(), "ok 0x10 0xd801 0x3132 0x3048");
    // The answer reached this process's socket too.
    EXPECT_EQ(Waiting(), 1);

    // While the other process waits for a message, this one's call waits for the lock.
    other.Send("receive");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    EXPECT_GE(lib.MSK_GetBytesCountInQueue(), 0) << LastError();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    const auto received = other.Read();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->rfind("fail", 0), 0u) << *received;

    other.Send("close " + opened->substr(3));
    EXPECT_EQ(other.Read(), "ok");
    other.Send("quit");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

TEST_F(SocketCanTest, ErrorFramesGoToTheLogAndBusOffFailsTheCall) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can"}});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN), 0) << LastError();
    CollectLog(2);
    ASSERT_EQ(bus->Command("error-frame " + std::to_string(CAN_ERR_CRTL) + " 0 " +
                           std::to_string(CAN_ERR_CRTL_RX_PASSIVE)),
              "OK");
    ASSERT_EQ(bus->Command("error-frame " + std::to_string(CAN_ERR_PROT | CAN_ERR_ACK)), "OK");
    DriveMessage message{};
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
    EXPECT_EQ(Logged("MSK Warning : can0: SocketCAN: Error passive: "), 1u);
    EXPECT_EQ(Logged("MSK Warning : can0: SocketCAN: Protocol violation"), 1u);
    EXPECT_EQ(Logged("MSK Warning : can0: SocketCAN: No acknowledge"), 1u);
    // The link goes on working after them.
    EXPECT_TRUE(VersionOf(2)) << LastError();

    ASSERT_EQ(bus->Command("error-frame " + std::to_string(CAN_ERR_BUSOFF)), "OK");
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&message));
    EXPECT_EQ(LastError(), Text(0x20000120));
}

TEST_F(SocketCanTest, InterfacesThatAreMissingDownOrNotCanAreRefused) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can state=down"}, {"eth9", "type=ether"}, {"can1", "type=can"}});
    auto &lib = Start();
    const struct {
        const char *name;
        uint32_t code;
    } cases[] = {{"can7", 0x20000118},
                 {"a-name-too-long-for-it", 0x20000118},
                 {"can0", 0x2000011a},
                 {"eth9", 0x20000119},
                 {"lo", 0x20000119}};
    for (const auto &c : cases) {
        EXPECT_EQ(lib.MSK_OpenComm(c.name, 1, 0, CHANNEL_SOCKETCAN), -1) << c.name;
        EXPECT_EQ(LastError(), Text(c.code)) << c.name;
    }
    EXPECT_EQ(NoClients(*bus), "");

    // An interface that goes down under an open channel.
    const int32_t handle = lib.MSK_OpenComm("can1", 1, 0, CHANNEL_SOCKETCAN);
    ASSERT_GT(handle, 0) << LastError();
    Interfaces({{"can1", "type=can state=down"}});
    const DriveMessage message{1, 0x20, 0x1234, {5, 0, 0, 0}};
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x2000011a));
    EXPECT_TRUE(lib.MSK_CloseComm(handle));

    // A kernel without CAN sockets.
    unsetenv("ZORCOMM_SOCKETCAN_DIR");
    EXPECT_EQ(lib.MSK_OpenComm("lo", 1, 0, CHANNEL_SOCKETCAN), -1);
    EXPECT_EQ(LastError(), Text(0x2000011b));
}

TEST_F(SocketCanTest, AFullTransmitQueueFailsTheSendAfterTheSendTimeout) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can txqueue=full"}});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("can0", 1, 0, CHANNEL_SOCKETCAN), 0) << LastError();
    const DriveMessage message{1, 0x20, 0x1234, {5, 0, 0, 0}};
    const auto start = Clock::now();
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x2000011c));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190)); // CAN_SEND_TIMEOUT=200
    EXPECT_EQ(BusMessages(*bus), std::vector<std::string>{});
    Interfaces({{"can0", "type=can"}});
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_EQ(BusMessages(*bus), std::vector<std::string>{"0020:1234:0005"});
}

// An application written for an adapter runs unchanged: the settings map its channel to an
// interface, and the vendor's library is never asked for.
TEST_F(SocketCanTest, SettingsMapAdapterChannelsToInterfaces) {
    if (!InSimulatedKernel()) return;
    auto bus = StartBus({"--axes", "2"});
    Interfaces({{"can0", "type=can"}, {"can1", "type=can"}});
    auto &lib = Start(std::string(ztest::kCanSettings) + "[SOCKETCAN]\nPEAK_PCAN_USB1 = can0\nKVASER_CAN0=can1\n");
    const int32_t peak = lib.MSK_OpenComm("1", 1, 0, CHANNEL_PEAK_PCAN_USB);
    ASSERT_GT(peak, 0) << LastError();
    EXPECT_TRUE(VersionOf(2)) << LastError();
    const int32_t kvaser = lib.MSK_OpenComm("0", 1, 0, CHANNEL_KVASER_CAN);
    ASSERT_GT(kvaser, 0) << LastError();
    EXPECT_TRUE(VersionOf(2)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
    // A channel the section does not map goes to its vendor's library, which is not here.
    EXPECT_EQ(lib.MSK_OpenComm("2", 1, 0, CHANNEL_PEAK_PCAN_USB), -1);
    EXPECT_EQ(LastError(), Text(0x2000009c));
    EXPECT_TRUE(lib.MSK_CloseComm(peak));
    EXPECT_TRUE(lib.MSK_CloseComm(kvaser));
}

// The same round trip against a real kernel: the library sends on vcan0 as a drive would see
// it (candump), and receives what a drive answers (cansend).
TEST(SocketCanKernelTest, RoundTripOnVcan0WithCanUtils) {
    const int probe = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe < 0) GTEST_SKIP() << "the kernel has no SocketCAN: " << std::strerror(errno);
    close(probe);
    if (if_nametoindex("vcan0") == 0 &&
        std::system("ip link add dev vcan0 type vcan >/dev/null 2>&1 && ip link set up vcan0 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "there is no vcan0 and it cannot be made here";
    if (std::system("command -v cansend >/dev/null && command -v candump >/dev/null") != 0)
        GTEST_SKIP() << "can-utils (cansend, candump) are not installed";

    ztest::UniqueRegion region;
    ztest::SettingsFile settings(ztest::kCanSettings);
    ztest::TempDir dir;
    auto lib = ztest::LoadLibrary();
    const int32_t handle = lib.MSK_OpenComm("vcan0", 1, 0, CHANNEL_SOCKETCAN);
    ASSERT_GT(handle, 0) << lib.MSK_GetLastError();
    const std::string dump = dir.File("dump.txt");
    ASSERT_EQ(std::system(("timeout 5 candump -n 1 -L vcan0 > " + dump + " 2>&1 &").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const DriveMessage question{1, 0x20, 0xD801, {0x10, 0, 0, 0}};
    ASSERT_TRUE(lib.MSK_SendMessage(&question)) << lib.MSK_GetLastError();
    std::string line;
    for (auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline && line.empty();) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(dump);
        std::getline(in, line);
    }
    EXPECT_NE(line.find("vcan0 1B004001#1000"), std::string::npos) << line;
    // The drive's answer: op 0xD801 to the host (address 0x10), two version words.
    ASSERT_EQ(std::system("cansend vcan0 1B002001#32314830"), 0);
    DriveMessage answer{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&answer)) << lib.MSK_GetLastError();
    EXPECT_EQ(answer.opCode, 0xD801);
    EXPECT_EQ(answer.address, 0x10);
    EXPECT_EQ(answer.data[0], 0x3132);
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    ztest::UnloadLibrary(lib);
}

} // namespace
