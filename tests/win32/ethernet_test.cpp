// Ethernet channels of zorcomm.dll under Wine: ws2_32.dll loaded at run time, against the
// simulated device server on a loopback address of each case's own: drive messages in
// datagrams, and blocks and downloads by messages or over the device server's TCP connection.
#include <coff_writer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <sstream>

#include "driver_paths.h"
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
    // "OK 0100 0101" -> the words.
    std::vector<uint16_t> Peek(const std::string &what) {
        std::vector<uint16_t> words;
        std::istringstream reply(Control("peek " + what));
        std::string word;
        reply >> word;
        while (reply >> word)
            words.push_back(static_cast<uint16_t>(std::strtoul(word.c_str(), nullptr, 16)));
        return words;
    }
    static std::string Hex(uint16_t word) {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", word);
        return text;
    }
    static uint8_t __stdcall Progress(int32_t kind, const char *text, float, uint32_t) {
        if (kind == 4 && text) Steps().emplace_back(text);
        return 1;
    }
    static std::vector<std::string> &Steps() {
        static std::vector<std::string> steps;
        return steps;
    }
    // The sample executable into the drive, its sections checked word by word and by the
    // drive's own checksum.
    void DownloadTheSample() {
        std::string file = kSampleExecutable;
        std::replace(file.begin(), file.end(), '/', '\\');
        Steps().clear();
        uint16_t entry = 0, start = 0, end = 0;
        ASSERT_TRUE(lib.MSK_COFFDownload(file.c_str(), &entry, &start, &end, &Progress, 0, 0x5000))
            << LastError();
        EXPECT_EQ(entry, 0x8000);
        EXPECT_EQ(start, 0x0800);
        EXPECT_EQ(end, 0x8424);
        EXPECT_NE(std::find(Steps().begin(), Steps().end(), "Download OK"), Steps().end());
        const auto text = coffwriter::PatternWords(700, 1);
        EXPECT_EQ(Peek("program 0x8000 700"), text);
        EXPECT_EQ(Peek("program 0x8400 37"), coffwriter::PatternWords(37, 2));
        EXPECT_EQ(Peek("program 0x0800 32"), coffwriter::PatternWords(32, 3));
        EXPECT_EQ(Peek("spi 0x3000 300"), coffwriter::PatternWords(300, 4));
        uint16_t sum = 0;
        ASSERT_TRUE(lib.MSK_CheckSum(0x8000, 0x82BB, &sum)) << LastError();
        EXPECT_EQ(sum, static_cast<uint16_t>(std::accumulate(text.begin(), text.end(), 0u)));
        EXPECT_EQ(Control("checksum program 0x8000 0x82BB"), "OK " + Hex(sum));
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
    // One block command each way (tries, half the datagram time-out, host, drive, start, count).
    EXPECT_EQ(Control("blocks"), "OK 20:3:350:3:3:9100:0028");
    EXPECT_EQ(Control("peek program 0x9100 2"), "OK 0100 0101");
    uint16_t back[40] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x9100, MEMORY_PROGRAM, 40)) << LastError();
    EXPECT_TRUE(std::equal(std::begin(words), std::end(words), std::begin(back)));
    EXPECT_EQ(Control("blocks"), "OK 10:3:350:3:3:9100:0028");
    uint16_t sum = 0;
    ASSERT_TRUE(lib.MSK_CheckSum(0x9100, 0x9127, &sum)) << LastError();
    EXPECT_EQ(Control("checksum program 0x9100 0x9127"), "OK " + [&] {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", sum);
        return std::string(text);
    }());
}

// Without the TCP connection every block goes as drive messages in datagrams.
TEST_F(EthernetTest, BlocksAndTheSampleDownloadOverDatagrams) {
    ASSERT_TRUE(StartXport("--address 127.0.9.14 --axes 1"));
    ASSERT_GT(lib.MSK_OpenComm("127.0.9.14", 1, 0, CHANNEL_UDP), 0) << LastError();
    uint16_t words[25];
    for (uint16_t i = 0; i < 25; ++i) words[i] = static_cast<uint16_t>(0xA000 + 5 * i);
    ASSERT_TRUE(lib.MSK_SendData(words, 0x0400, MEMORY_SPI, 25)) << LastError();
    EXPECT_EQ(Peek("spi 0x0400 25"), std::vector<uint16_t>(std::begin(words), std::end(words)));
    uint16_t back[25] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x0400, MEMORY_SPI, 25)) << LastError();
    EXPECT_TRUE(std::equal(std::begin(words), std::end(words), std::begin(back)));
    DownloadTheSample();
    EXPECT_EQ(Control("blocks"), "OK") << "no block command reached the device server";
}

// With it, every section of the download is one block command.
TEST_F(EthernetTest, TheSampleDownloadsOverTheTcpConnection) {
    ASSERT_TRUE(StartXport("--address 127.0.9.15 --axes 1"));
    ASSERT_GT(lib.MSK_OpenComm("127.0.9.15", 1, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    DownloadTheSample();
    EXPECT_EQ(Control("blocks"), "OK 20:3:350:1:1:8000:02BC 20:3:350:1:1:8400:0025 "
                                 "20:3:350:1:1:0800:0020 22:3:350:1:1:3000:012C");
}

} // namespace
