// Ethernet channels of zorcomm.dll under Wine: ws2_32.dll loaded at run time, against the
// simulated device server on a loopback address of each case's own.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "fixture.h"

namespace {

using wtest::DllTest;
using wtest::LibraryText;

class EthernetTest : public DllTest {
protected:
    // `zorcomm-sim xport` through the harness; stopped at the end of the case.
    bool StartXport(const std::string &options) {
        std::istringstream reply(wtest::HarnessCommand("xport " + options));
        std::string ok;
        reply >> ok >> id_ >> where_;
        return ok == "OK";
    }
    std::string Control(const std::string &line) {
        return wtest::HarnessCommand("control " + std::to_string(id_) + " " + line);
    }
    void TearDown() override {
        if (id_ > 0) wtest::HarnessCommand("stop " + std::to_string(id_));
    }
    int id_ = 0;
    std::string where_;
};

TEST_F(EthernetTest, DatagramsFindTheHostAndCarryMessages) {
    ASSERT_TRUE(StartXport("--address 127.0.9.11 --axes 5 --version F120H"));
    EXPECT_EQ(where_, "127.0.9.11:1700");
    const int32_t handle = lib.MSK_OpenComm("127.0.9.11", 0, 0, CHANNEL_UDP);
    ASSERT_GT(handle, 0) << LastError();
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 5);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    DriveMessage message{1, 0x0050, 0x2345, {0x0011}};
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    // Nobody serves this address: the open fails after its retries with a socket error's text.
    EXPECT_EQ(lib.MSK_OpenComm("127.0.9.13", 5, 0, CHANNEL_UDP), -1);
    EXPECT_NE(LastError(), "");
}

TEST_F(EthernetTest, BlocksTravelOverTheDeviceServersTcpConnection) {
    ASSERT_TRUE(StartXport("--address 127.0.9.12 --port 4001 --axes 3"));
    ASSERT_GT(lib.MSK_OpenComm("127.0.9.12:4001", 3, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    uint16_t words[40];
    for (uint16_t i = 0; i < 40; ++i) words[i] = static_cast<uint16_t>(0x0100 + i);
    ASSERT_TRUE(lib.MSK_SendData(words, 0x9100, MEMORY_PROGRAM, 40)) << LastError();
    EXPECT_EQ(Control("peek program 0x9100 2"), "OK 0100 0101");
    uint16_t back[40] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x9100, MEMORY_PROGRAM, 40)) << LastError();
    EXPECT_TRUE(std::equal(std::begin(words), std::end(words), std::begin(back)));
    uint16_t sum = 0;
    ASSERT_TRUE(lib.MSK_CheckSum(0x9100, 0x9127, &sum)) << LastError();
    EXPECT_EQ(Control("checksum program 0x9100 0x9127"), "OK " + [&] {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", sum);
        return std::string(text);
    }());
}

} // namespace
