// Ethernet channels (device server over UDP, with a TCP connection for CHANNEL_XPORT_TCP)
// through the exports against `zorcomm-sim xport`. Every test has a loopback address of its own.
#include "serial_fixture.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ztest::Child;
using ztest::Failure;
using ztest::SimProcess;

const char *kEthernetSettings = "[ZORCOMM]\n"
                                "UDP_RECEIVE_TIMEOUT=200\n"
                                "WAIT_AFTER_BAUD_CHANGE=5\n"
                                "RESET_DEAD_TIME=20\n"
                                "RUN_DEAD_TIME=0\n";

// A reply's words after its leading "OK".
std::string Words(const std::string &reply) {
    EXPECT_EQ(reply.rfind("OK", 0), 0u) << reply;
    return reply.size() > 3 ? reply.substr(3) : "";
}

// The datagrams the configuration port received since the last look.
std::string Commands(SimProcess &sim) { return Words(sim.Command("commands")); }

// One field ("connections=1") of the simulator's `xport` line.
std::string XportField(SimProcess &sim, const std::string &name) {
    std::istringstream words(sim.Command("xport"));
    for (std::string word; words >> word;)
        if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
    return "<none>";
}

bool WaitForField(SimProcess &sim, const std::string &name, const std::string &value) {
    for (int i = 0; i < 200; ++i) {
        if (XportField(sim, name) == value) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class EthernetTest : public ztest::LibraryTest {
protected:
    EthernetTest() : LibraryTest(kEthernetSettings) {}
    // The device server outlives the test's library, so that channels still open at the end
    // close without waiting for answers that cannot come.
    SimProcess &StartXport(const std::string &address,
                           const std::vector<std::string> &options = {}) {
        std::vector<std::string> arguments{"xport", "--address", address};
        arguments.insert(arguments.end(), options.begin(), options.end());
        sim_ = std::make_unique<SimProcess>(arguments);
        EXPECT_EQ(sim_->firstLine().rfind("XPORT " + address + ":", 0), 0u) << sim_->firstLine();
        return *sim_;
    }
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(EthernetTest, UdpOpenSearchesTheRateFromTheTopAndDetectsTheHost) {
    SimProcess &sim =
        StartXport("127.0.0.20", {"--axes", "5", "--baud", "38400", "--version", "F120H"});
    CollectLog(3);
    const int32_t handle = lib.MSK_OpenComm("127.0.0.20", 0, 0, CHANNEL_UDP);
    ASSERT_GT(handle, 0) << LastError();
    // Port 1700 and 9600 baud announced, then the device server is moved from 115200 down until
    // the drive answered at 38400.
    EXPECT_EQ(Commands(sim), "01A406 0380250000 0300C20100 0300E10000 0300960000");
    EXPECT_EQ(XportField(sim, "announced-port"), "1700");
    EXPECT_EQ(Logged("Bytes Write :  FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"), 3);
    EXPECT_EQ(Logged("XPort TCP connection"), 0);
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 5);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 38400u);
    EXPECT_NE(Words(sim.Command("history")).find("38400:0000:B000:0001,0000"), std::string::npos);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");

    // A second open of the same address in this process selects the channel it has.
    EXPECT_EQ(lib.MSK_OpenComm("127.0.0.20:1700", 5, 0, CHANNEL_UDP), handle);
    EXPECT_EQ(lib.MSK_OpenComm("127.0.0.20", 6, 0, CHANNEL_UDP), -1);
    EXPECT_EQ(LastError(), Text(0x2000006a));
    EXPECT_EQ(Commands(sim), "");

    // The drives move to 57600, and so does the device server.
    ASSERT_TRUE(lib.MSK_SetBaudRate(57600)) << LastError();
    EXPECT_EQ(Commands(sim), "0300E10000");
    EXPECT_EQ(lib.MSK_GetBaudRate(), 57600u);
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();

    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(Commands(sim), "05");
}

TEST_F(EthernetTest, TcpChannelKeepsAConnectionToTheDataPort) {
    SimProcess &sim = StartXport("127.0.0.21", {"--axes", "3", "--port", "4001"});
    CollectLog(2);
    const int32_t handle = lib.MSK_OpenComm("127.0.0.21:4001", 3, 0, CHANNEL_XPORT_TCP);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(Logged("XPort TCP connection : Connection established"), 1);
    EXPECT_EQ(Commands(sim).substr(0, 17), "01A10F 0380250000");
    EXPECT_TRUE(WaitForField(sim, "connections", "1"));
    DriveMessage message{1, 0x0030, 0x2345, {0x0011}};
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    // The socket time-outs follow the settings file.
    EXPECT_TRUE(lib.MSK_UpdateSettings()) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_TRUE(WaitForField(sim, "connections", "0"));
    EXPECT_EQ(Commands(sim), "05");
}

TEST_F(EthernetTest, TcpChannelOpensWhenTheDeviceServerRefusesConnections) {
    StartXport("127.0.0.22", {"--axes", "2", "--no-tcp"});
    CollectLog(2);
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.22", 2, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    EXPECT_EQ(Logged("XPort TCP connection : Connection has failed"), 1);
    EXPECT_EQ(Logged("Connection established"), 0);
    char version[8] = {};
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
}

TEST_F(EthernetTest, BadDeviceNamesAreInvalidParameters) {
    // No simulator: nothing of these may leave the machine, and nothing is sent anywhere.
    for (const char *name : {"no!such!host", "127.0.0.23:", "127.0.0.23:letters", "127.0.0.23:-1",
                             "127.0.0.23:70000", ":1700"}) {
        EXPECT_EQ(lib.MSK_OpenComm(name, 0, 0, CHANNEL_UDP), -1) << name;
        EXPECT_EQ(LastError(), Text(0x2000007b)) << name;
    }
    EXPECT_EQ(lib.MSK_OpenComm(nullptr, 0, 0, CHANNEL_XPORT_TCP), -1);
    EXPECT_EQ(LastError(), Text(0x2000007b));
    // Nothing of the attempts is left behind: no channel is selected.
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    EXPECT_EQ(LastError(), Text(0x20000077));
}

TEST_F(EthernetTest, ADeviceServerThatDoesNotAnswerFailsTheOpen) {
    SimProcess &sim = StartXport("127.0.0.24", {"--baud", "115200", "--fault", "no-answer=100"});
    EXPECT_EQ(lib.MSK_OpenComm("127.0.0.24", 0, 0, CHANNEL_UDP), -1);
    EXPECT_EQ(LastError(), Text(0x200000e7)); // the socket's receive time-out
    // One command, tried NO_TRIES times; nothing after it.
    EXPECT_EQ(Commands(sim), "01A406 01A406 01A406");

    // Answers that do not count: from another port, too long, of the wrong value.
    sim.Command("fault clear");
    EXPECT_EQ(sim.Command("fault wrong-port 3").substr(0, 2), "OK");
    EXPECT_EQ(lib.MSK_OpenComm("127.0.0.24", 0, 0, CHANNEL_UDP), -1);
    EXPECT_EQ(LastError(), Text(0x200000e7));
    EXPECT_EQ(Commands(sim), "01A406 01A406 01A406");
    sim.Command("fault clear");
    // An answer of two bytes, or of the wrong value, is ignored and the command tried again.
    for (const char *fault : {"fault wrong-size 1", "fault wrong-value 1"}) {
        ASSERT_EQ(sim.Command(fault).substr(0, 2), "OK");
        ASSERT_GT(lib.MSK_OpenComm("127.0.0.24", 0, 0, CHANNEL_UDP), 0) << fault << LastError();
        EXPECT_EQ(Commands(sim), "01A406 01A406 0380250000 0300C20100") << fault;
        EXPECT_TRUE(lib.MSK_CloseComm(-1));
        EXPECT_EQ(Commands(sim), "05");
    }
    // Wrong answers ahead of the right one are passed over within the same try.
    ASSERT_EQ(sim.Command("fault decoy 2").substr(0, 2), "OK");
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.24", 0, 0, CHANNEL_UDP), 0) << LastError();
    EXPECT_EQ(Commands(sim), "01A406 0380250000 0300C20100");

    // A device server gone silent: the close still ends, after NO_TRIES announcements.
    sim.Command("fault no-answer 100");
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
    EXPECT_EQ(Commands(sim), "05 05 05");
}

TEST_F(EthernetTest, ADriveThatNeverAnswersFailsTheSynchronisation) {
    SimProcess &sim = StartXport("127.0.0.25", {"--axes", "1", "--fault", "silent=60000"});
    EXPECT_EQ(lib.MSK_OpenComm("127.0.0.25", 1, 0, CHANNEL_UDP), -1);
    EXPECT_EQ(LastError(), Text(0x20000068));
    // Every rate tried, then the failed channel closed again.
    EXPECT_EQ(Commands(sim),
              "01A406 0380250000 0300C20100 0300E10000 0300960000 03004B0000 0380250000 05");
}

TEST_F(EthernetTest, DatagramsFromElsewhereAreDroppedAndReadsTimeOut) {
    SimProcess &sim = StartXport("127.0.0.26", {"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.26", 1, 0, CHANNEL_UDP), 0) << LastError();
    DriveMessage message{1, 0x0010, 0x2345, {0x0011}};

    // The acknowledge comes from another port: it is dropped, and the message is sent again.
    sim.Command("fault data-wrong-port 1");
    CollectLog(2);
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 1);

    // Nothing comes: the read ends with the socket's time-out.
    DriveMessage received{};
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&received));
    EXPECT_EQ(LastError(), Text(0x200000e7));

    // One datagram of 14 bytes: a frame of 8 and 6 more. The frame is taken, 6 stay buffered.
    ASSERT_EQ(sim.Command("inject 0x06 0x00 0x11 0x77 0x01 0x12 0x34 0xD5 1 2 3 4 5 6")
                  .substr(0, 2),
              "OK");
    for (int i = 0; i < 200 && lib.MSK_GetBytesCountInQueue() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 14);
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&received)) << LastError();
    EXPECT_EQ(received.address, 0x0011);
    EXPECT_EQ(received.opCode, 0x7701);
    EXPECT_EQ(received.data[0], 0x1234);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 6);
}

TEST_F(EthernetTest, LongerReceiveTimeoutsTakeEffectAtTheNextUpdate) {
    StartXport("127.0.0.27", {"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.27", 1, 0, CHANNEL_UDP), 0) << LastError();
    std::ofstream(std::getenv("ZORCOMM_SETTINGS"), std::ios::trunc)
        << "[ZORCOMM]\nUDP_RECEIVE_TIMEOUT=900\n";
    ASSERT_TRUE(lib.MSK_UpdateSettings()) << LastError();
    DriveMessage received{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&received));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 850ms);
    EXPECT_EQ(LastError(), Text(0x200000e7));
}

// Two helper processes; the test process itself does not load the library.
class EthernetSharingTest : public EthernetTest {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(EthernetSharingTest, AnotherProcessCannotJoinAnEthernetChannel) {
    SimProcess &sim = StartXport("127.0.0.28", {"--axes", "4"});
    auto a = ztest::StartLibraryProcess(), b = ztest::StartLibraryProcess();
    const std::string opened = ztest::Ask(*a, "open 127.0.0.28 0 0 17");
    ASSERT_EQ(opened.rfind("ok ", 0), 0u) << opened;
    Commands(sim);
    EXPECT_EQ(ztest::Ask(*b, "open 127.0.0.28 0 0 17"), Failure(0x20000070));
    EXPECT_EQ(ztest::Ask(*b, "open 127.0.0.28 0 1 17"), Failure(0x2000006d));
    EXPECT_EQ(Commands(sim), "") << "the refused process sent nothing";
    // The same device server as the other channel type is a link of its own.
    const std::string other = ztest::Ask(*b, "open 127.0.0.28 4 0 16");
    EXPECT_EQ(other.rfind("ok ", 0), 0u) << other;
    EXPECT_EQ(ztest::Ask(*a, "version"), "ok F120H");
    EXPECT_EQ(ztest::Ask(*b, "close -1"), "ok");
    EXPECT_EQ(ztest::Ask(*a, "close -1"), "ok");
    ztest::Ask(*a, "quit");
    ztest::Ask(*b, "quit");
    EXPECT_EQ(a->Wait(), 0);
    EXPECT_EQ(b->Wait(), 0);
}

} // namespace
