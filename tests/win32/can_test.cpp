// A CAN channel of zorcomm.dll under Wine: the stand-in PEAK library (pcanbasic.dll, standard
// calling convention) on the simulated bus, reached through the harness's loopback bridge.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "driver_paths.h"
#include "support.h"
#include "vendor_calls.h"

#include <gtest/gtest.h>

namespace {

const char kCanSettings[] = "[ZORCOMM]\r\n"
                            "CAN_SEND_TIMEOUT=200\r\n"
                            "CAN_RECEIVE_TIMEOUT=200\r\n"
                            "RESET_DEAD_TIME=20\r\n"
                            "RUN_DEAD_TIME=0\r\n"
                            // Linux's mapping to SocketCAN interfaces: the DLL ignores it.
                            "[SOCKETCAN]\r\n"
                            "PEAK_PCAN_USB1=can0\r\n";

std::string WindowsPath(std::string path) {
    for (char &c : path)
        if (c == '/') c = '\\';
    return path;
}

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

class CanTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The library loads the vendor's library by its bare name: from the stand-ins' folder.
        ASSERT_TRUE(SetDllDirectoryA(WindowsPath(kStandInFolder).c_str()));
        _putenv_s("ZORCOMM_VENDOR_LOG", log_.File("calls.log").c_str());
        const auto reply = Words(wtest::HarnessCommand("canbus --axes 2,3"));
        ASSERT_EQ(reply.size(), 3u) << "the bus did not start";
        ASSERT_EQ(reply[0], "OK");
        bus_ = std::atoi(reply[1].c_str());
        _putenv_s("ZORCOMM_CANBUS", reply[2].c_str());
        copy_ = std::make_unique<wtest::LibraryCopy>(kCanSettings);
        ASSERT_TRUE(copy_->loaded());
    }
    void TearDown() override {
        copy_.reset(); // unloads the library and with it the vendor's
        if (bus_ > 0) wtest::HarnessCommand("stop " + std::to_string(bus_));
        _putenv_s("ZORCOMM_CANBUS", "");
        _putenv_s("ZORCOMM_VENDOR_LOG", "");
        SetDllDirectoryA(nullptr);
    }

    std::string Bus(const std::string &line) {
        return wtest::HarnessCommand("control " + std::to_string(bus_) + " " + line);
    }
    // The drive messages on the bus since the last look, "ADDR:OP[:WORD,...]", from `source`.
    std::vector<std::string> BusMessages(const std::string &source) {
        std::vector<std::string> messages;
        for (const auto &word : Words(Bus("history"))) {
            const auto eq = word.find('=');
            if (word != "OK" && eq != std::string::npos && word.rfind(source, 0) == 0)
                messages.push_back(word.substr(eq + 1));
        }
        return messages;
    }
    // The vendor calls since the last look, without the polling reads.
    std::vector<std::string> Calls() {
        std::ifstream file(log_.File("calls.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        std::vector<std::string> fresh;
        for (size_t i = seen_; i < lines.size(); ++i)
            if (lines[i].rfind("CAN_Read ", 0) != 0) fresh.push_back(lines[i]);
        seen_ = lines.size();
        return fresh;
    }
    std::string LastError() { return copy_->lib.MSK_GetLastError(); }

    wtest::TempDir log_;
    size_t seen_ = 0;
    int bus_ = 0;
    std::unique_ptr<wtest::LibraryCopy> copy_;
};

using vendor_calls::Lines;

TEST_F(CanTest, PeakUsbOpensTalksToADriveAndCloses) {
    wtest::Exports &lib = copy_->lib;
    const int32_t handle = lib.MSK_OpenComm("3", 1, 0, CHANNEL_PEAK_PCAN_USB);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(Calls(), (Lines{"CAN_Initialize 0x53 0x001C 0 0 0"}));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);

    // Board information from drive 2: the query goes out, the answer comes back over the bus.
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    EXPECT_EQ(Calls(), (Lines{"CAN_Write 0x53 0x1B004001 0x02 2 1000"}));

    // A message and a block of data to drive 3, read back.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(3));
    DriveMessage message{1, 0x0030, 0x2345, {0x0011}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    bool seen = false;
    for (const auto &text : BusMessages("pc")) seen |= text == "0030:2345:0011";
    EXPECT_TRUE(seen) << "the message reached the bus";
    uint16_t words[20];
    for (uint16_t i = 0; i < 20; ++i) words[i] = static_cast<uint16_t>(0x0400 + 7 * i);
    ASSERT_TRUE(lib.MSK_SendData(words, 0x0300, MEMORY_DATA, 20)) << LastError();
    uint16_t back[20] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x0300, MEMORY_DATA, 20)) << LastError();
    EXPECT_EQ(std::vector<uint16_t>(std::begin(back), std::end(back)),
              std::vector<uint16_t>(std::begin(words), std::end(words)));

    // At a rate the drives are not on, nobody answers.
    Calls();
    ASSERT_TRUE(lib.MSK_SetBaudRate(250000)) << LastError();
    EXPECT_EQ(Calls(), (Lines{"CAN_Uninitialize 0x53", "CAN_Initialize 0x53 0x011C 0 0 0"}));
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_EQ(LastError(), wtest::LibraryText(0x20000069));
    EXPECT_EQ(Calls(), (Lines{"CAN_Write 0x53 0x1B006001 0x02 2 1000"}));

    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(Calls(), (Lines{"CAN_Uninitialize 0x53"}));
}

TEST_F(CanTest, AChannelWithoutABusFailsTheOpen) {
    // The stand-in finds no bus: its "no driver" status ends the open, and nothing stays open.
    _putenv_s("ZORCOMM_CANBUS", "127.0.9.6:1");
    EXPECT_EQ(copy_->lib.MSK_OpenComm("1", 1, 0, CHANNEL_PEAK_PCAN_USB), -1);
    EXPECT_NE(LastError(), "");
    EXPECT_EQ(Calls(), (Lines{"CAN_Initialize 0x51 0x001C 0 0 0"}));
    EXPECT_FALSE(copy_->lib.MSK_UpdateSettings());
    EXPECT_EQ(LastError(), wtest::LibraryText(0x20000077));
}

// SocketCAN is the POSIX build's: the DLL refuses its type like any unknown one, and the
// [SOCKETCAN] section of the settings file changes nothing (the vendor's library is loaded).
TEST_F(CanTest, TheDllHasNoSocketCanChannels) {
    EXPECT_EQ(copy_->lib.MSK_OpenComm("can0", 1, 0, 18), -1);
    EXPECT_EQ(LastError(), wtest::LibraryText(0x2000007b));
    _putenv_s("ZORCOMM_CANBUS", "127.0.9.6:1");
    EXPECT_EQ(copy_->lib.MSK_OpenComm("1", 1, 0, CHANNEL_PEAK_PCAN_USB), -1);
    EXPECT_EQ(Calls(), (Lines{"CAN_Initialize 0x51 0x001C 0 0 0"}));
}

// The serial ASCII adapter behind a COM port, joined to the bus as one more client, under both
// identifier schemes: its set-up commands, the frames it is asked to send, and the drive's
// memory written and read back through it.
TEST_F(CanTest, AsciiAdapterOnAComPortUnderBothSchemes) {
    const auto reply = Words(wtest::HarnessCommand("asciican 2 " + std::to_string(bus_)));
    ASSERT_EQ(reply.size(), 3u) << "the adapter did not start";
    ASSERT_EQ(reply[0], "OK");
    struct Stop {
        std::string id;
        ~Stop() { wtest::HarnessCommand("stop " + id); }
    } stop{reply[1]};
    const std::string port = "COM" + reply[2];
    auto adapter = [&](const std::string &line) {
        return wtest::HarnessCommand("control " + stop.id + " " + line);
    };
    wtest::Exports &lib = copy_->lib;
    struct Scheme {
        uint8_t protocol;
        const char *query; // the board-information query to drive 2 as the adapter got it
        uint16_t seed;
    };
    for (const Scheme &scheme : {Scheme{CHANNEL_PROTOCOL_ORV, "T1B00400121000", 0x0ACE},
                                 Scheme{CHANNEL_PROTOCOL_TORVANECAN, "t122401D81000", 0x0BEE}}) {
        SCOPED_TRACE(scheme.query);
        if (scheme.protocol == CHANNEL_PROTOCOL_TORVANECAN) {
            ASSERT_EQ(Bus("protocol torvanecan"), "OK torvanecan");
        }
        const int32_t handle = lib.MSK_OpenComm(
            port.c_str(), 1, 0, static_cast<uint8_t>(CHANNEL_LAWICEL_USBCAN | scheme.protocol));
        ASSERT_GT(handle, 0) << LastError();
        EXPECT_EQ(adapter("history"), "OK - - - - - - - - - C Z0 S6 M00000000 mFFFFFFFF O");
        EXPECT_EQ(adapter("state"),
                  "OK open=1 rate=500000 timestamps=0 code=00000000 mask=FFFFFFFF status=00");
        EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
        char version[8] = {};
        ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
        ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_STREQ(version, "F120H");
        EXPECT_EQ(adapter("history"), std::string("OK ") + scheme.query);

        uint16_t words[5] = {0x0101, 0x0202, 0x0303, 0xFFFF, scheme.seed};
        ASSERT_TRUE(lib.MSK_SendData(words, 0x0340, MEMORY_DATA, 5)) << LastError();
        char expected[64];
        std::snprintf(expected, sizeof expected, "OK 0101 0202 0303 FFFF %04X", scheme.seed);
        EXPECT_EQ(Bus("peek 2 data 0x0340 5"), expected);
        uint16_t back[5] = {};
        ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x0340, MEMORY_DATA, 5)) << LastError();
        EXPECT_EQ(std::vector<uint16_t>(std::begin(back), std::end(back)),
                  std::vector<uint16_t>(std::begin(words), std::end(words)));
        adapter("history");

        EXPECT_TRUE(lib.MSK_CloseComm(handle));
        // Nothing waits for the close's answer: it reaches the adapter a moment later.
        std::string closed = adapter("history");
        for (int i = 0; i < 100 && closed == "OK"; ++i) {
            Sleep(20);
            closed = adapter("history");
        }
        EXPECT_EQ(closed, "OK C");
    }
}

// Every family under both identifier schemes: the vendor calls of opening, of the
// board-information query to drive 2, of following a new host (axis 1, then 4) and of closing
// (`$name` words stand for the vendor's handles, which must keep the value they first meet).
struct Steps {
    Lines open;
    std::string send;
    Lines followHost;
    Lines close;
};

struct Family {
    const char *name;
    const char *variant; // a folder of the stand-ins' folder with some of them only
    uint8_t type;
    Steps orv, torvane;
};

void PrintTo(const Family &family, std::ostream *out) { *out << family.name; }

using vendor_calls::Append;
using vendor_calls::EsdTorvaneOpen;
using vendor_calls::kV3Channel;
using vendor_calls::kV3Start;
const Lines kV3Close{"canChannelClose $ch", "canControlClose $c", "vciDeviceClose $d"};

const Family kFamilies[] = {
    {"IxxatV3", "", CHANNEL_IXXAT_CAN,
     {Append(Append(kV3Start, {"canControlInitialize $c 2 0x00 0x1C",
                               "canControlSetAccFilter $c 1 0x4000 0x7FF800"}),
             kV3Channel),
      "canChannelSendMessage $ch 200 0x1B004001 0x82 1000",
      {"canControlReset $c", "canControlSetAccFilter $c 1 0x10000 0x7FF800",
       "canControlStart $c 1"},
      kV3Close},
     {Append(Append(kV3Start, {"canControlInitialize $c 1 0x00 0x1C",
                               "canControlSetAccFilter $c 0 0x0 0xD00",
                               "canControlAddFilterIds $c 0 0x242 0xFFF",
                               "canControlAddFilterIds $c 0 0x282 0xFFF",
                               "canControlAddFilterIds $c 0 0x2C2 0xFFF"}),
             kV3Channel),
      "canChannelSendMessage $ch 200 0x122 0x04 01D81000",
      {"canControlReset $c", "canControlSetAccFilter $c 0 0x0 0xD00",
       "canControlAddFilterIds $c 0 0x248 0xFFF", "canControlAddFilterIds $c 0 0x288 0xFFF",
       "canControlAddFilterIds $c 0 0x2C8 0xFFF", "canControlStart $c 1"},
      kV3Close}},
    {"IxxatV2", "v2-only", CHANNEL_IXXAT_CAN,
     {{"VCI2_PrepareBoard 0 0 null 0 null set null", "VCI_InitCan $b 0 0x00 0x1C 1",
       "VCI_ConfigQueue $b 0 0 50 0 0 0", "VCI_ConfigQueue $b 0 1 50 1 1 1",
       "VCI_AssignRxQueObj $b $rx 1 0x2000 0x3FFC00", "VCI_StartCan $b 0"},
      "VCI_TransmitObj $b $tx 0x1B004001 2 1000",
      {"VCI_ResetCan $b 0", "VCI_AssignRxQueObj $b $rx 1 0x8000 0x3FFC00", "VCI_StartCan $b 0"},
      {"VCI_CancelBoard $b"}},
     {{"VCI2_PrepareBoard 0 0 null 0 null set null", "VCI_InitCan $b 0 0x00 0x1C 0",
       "VCI_ConfigQueue $b 0 0 50 0 0 0", "VCI_ConfigQueue $b 0 1 50 1 1 1",
       "VCI_AssignRxQueObj $b $rx 1 0x0 0x680", "VCI_StartCan $b 0"},
      "VCI_TransmitObj $b $tx 0x122 4 01D81000",
      {},
      {"VCI_CancelBoard $b"}}},
    {"SysTec", "", CHANNEL_SYS_TEC_USBCAN,
     {{"UcanInitHardware 1 null", "UcanInitCan $m 0x00 0x1C 0xFE001FFB 0x10000"},
      "UcanWriteCanMsg $m 0x1B004001 0x80 2 1000",
      {"UcanSetAcceptance $m 0xFE001FFF 0x40000"},
      {"UcanDeinitCan $m", "UcanDeinitHardware $m"}},
     {{"UcanInitHardware 1 null", "UcanInitCan $m 0x00 0x1C 0x2FEFFFFF 0x0"},
      "UcanWriteCanMsg $m 0x122 0x00 4 01D81000",
      {},
      {"UcanDeinitCan $m", "UcanDeinitHardware $m"}}},
    {"Esd", "", CHANNEL_ESD_CAN,
     {{"canOpen 1 0x0 1 16 200 200", "canSetBaudrate $h 2", "canIoctl $h 5 0xFFC003FF",
       "canIdAdd $h 0x20002000"},
      "canWrite $h 1 0x3B004001 0x02 1000",
      {"canIdDelete $h 0x20002000", "canIdAdd $h 0x20008000"},
      {"canClose $h"}},
     {EsdTorvaneOpen(),
      "canWrite $h 1 0x122 0x04 01D81000",
      {"canIdDelete $h 0x121", "canIdAdd $h 0x124", "canIdDelete $h 0x141", "canIdAdd $h 0x144",
       "canIdDelete $h 0x161", "canIdAdd $h 0x164"},
      {"canClose $h"}}},
    {"Kvaser", "", CHANNEL_KVASER_CAN,
     {{"canInitializeLibrary", "canOpenChannel 1 0x18", "canSetBusParams $h -2 0 0 0 0 0",
       "canSetAcceptanceFilter $h 0x2000 0x3FFC00 1", "canBusOn $h"},
      "canWrite $h 0x1B004001 1000 2 0x4",
      {"canSetAcceptanceFilter $h 0x8000 0x3FFC00 1"},
      {"canClose $h", "canUnloadLibrary"}},
     {{"canInitializeLibrary", "canOpenChannel 1 0x8", "canSetBusParams $h -2 0 0 0 0 0",
       "canSetAcceptanceFilter $h 0x0 0x680 0", "canBusOn $h"},
      "canWrite $h 0x122 01D81000 4 0x2",
      {},
      {"canClose $h", "canUnloadLibrary"}}},
    {"PeakUsb", "", CHANNEL_PEAK_PCAN_USB,
     {{"CAN_Initialize 0x51 0x001C 0 0 0"},
      "CAN_Write 0x51 0x1B004001 0x02 2 1000",
      {},
      {"CAN_Uninitialize 0x51"}},
     {{"CAN_Initialize 0x51 0x001C 0 0 0"},
      "CAN_Write 0x51 0x122 0x00 4 01D81000",
      {},
      {"CAN_Uninitialize 0x51"}}},
};

class CanFamilyTest : public CanTest, public ::testing::WithParamInterface<Family> {
protected:
    // Polling reads come and go with timing; everything else is compared exactly.
    Lines CallsButPolls() {
        Lines kept;
        for (const auto &call : Calls()) {
            const std::string name = call.substr(0, call.find(' '));
            if (name != "canChannelReadMessage" && name != "canChannelPeekMessage" &&
                name != "UcanReadCanMsg" && name != "canRead" && name != "canTake" &&
                name != "VCI_ReadQueStatus")
                kept.push_back(call);
        }
        return kept;
    }
    ::testing::AssertionResult Match(const Lines &actual, const Lines &expected) {
        std::ostringstream listing;
        for (const auto &line : actual) listing << "\n  " << line;
        if (actual.size() != expected.size())
            return ::testing::AssertionFailure()
                   << expected.size() << " calls expected, got:" << listing.str();
        for (size_t i = 0; i < actual.size(); ++i) {
            const auto got = Words(actual[i]), want = Words(expected[i]);
            bool same = got.size() == want.size();
            for (size_t w = 0; same && w < want.size(); ++w) {
                if (want[w].size() > 1 && want[w][0] == '$') {
                    auto [it, fresh] = handles_.emplace(want[w], got[w]);
                    same = fresh || it->second == got[w];
                } else {
                    same = want[w] == got[w];
                }
            }
            if (!same)
                return ::testing::AssertionFailure()
                       << "call " << i << " is not \"" << expected[i] << "\"; got:" << listing.str();
        }
        return ::testing::AssertionSuccess();
    }

    // One channel of the family under one scheme, from open to close, with drive 2 answering
    // and a block of its data memory written and read back.
    void RunProtocol(uint8_t protocol, const Steps &steps, uint16_t seed) {
        const Family &family = GetParam();
        handles_.clear();
        wtest::Exports &lib = copy_->lib;
        const int32_t handle =
            lib.MSK_OpenComm("1", 1, 0, static_cast<uint8_t>(family.type | protocol));
        ASSERT_GT(handle, 0) << LastError();
        EXPECT_TRUE(Match(CallsButPolls(), steps.open));
        EXPECT_EQ(lib.MSK_GetBaudRate(), 500000u);
        char version[8] = {};
        ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
        ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_STREQ(version, "F120H");
        EXPECT_TRUE(Match(CallsButPolls(), {steps.send}));

        uint16_t words[6] = {1, 2, 3, 0xFFFF, 0x8000, seed};
        ASSERT_TRUE(lib.MSK_SendData(words, 0x0300, MEMORY_DATA, 6)) << LastError();
        EXPECT_EQ(Bus("peek 2 data 0x0300 6"),
                  "OK 0001 0002 0003 FFFF 8000 " + Hex(seed)) << "the drive holds the words";
        uint16_t back[6] = {};
        ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x0300, MEMORY_DATA, 6)) << LastError();
        EXPECT_EQ(std::vector<uint16_t>(std::begin(back), std::end(back)),
                  std::vector<uint16_t>(std::begin(words), std::end(words)));
        CallsButPolls();

        // The filters follow a new host; the drive answers it there.
        ASSERT_TRUE(lib.MSK_SetHostDrive(4)) << LastError();
        EXPECT_TRUE(Match(CallsButPolls(), steps.followHost));
        version[0] = '\0';
        ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_STREQ(version, "F120H");
        const auto sent = BusMessages("pc");
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), "0020:D801:0040");
        CallsButPolls();

        EXPECT_TRUE(lib.MSK_CloseComm(handle));
        EXPECT_TRUE(Match(CallsButPolls(), steps.close));
    }
    static std::string Hex(uint16_t word) {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", word);
        return text;
    }
    std::map<std::string, std::string> handles_;
};

TEST_P(CanFamilyTest, BothIdentifierSchemesFromOpenToClose) {
    const Family &family = GetParam();
    if (*family.variant) {
        ASSERT_TRUE(SetDllDirectoryA(
            (WindowsPath(kStandInFolder) + "\\" + family.variant).c_str()));
    }
    RunProtocol(CHANNEL_PROTOCOL_ORV, family.orv, 0x1234);
    if (HasFatalFailure()) return;
    ASSERT_EQ(Bus("protocol torvanecan"), "OK torvanecan");
    RunProtocol(CHANNEL_PROTOCOL_TORVANECAN, family.torvane, 0x4321);
}

INSTANTIATE_TEST_SUITE_P(Families, CanFamilyTest, ::testing::ValuesIn(kFamilies),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
