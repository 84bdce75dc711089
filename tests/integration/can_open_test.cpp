// Each adapter family through the exports: the exact vendor calls of opening, filtering for a new
// host address, changing the bit rate and closing, under both protocols, with a drive on the bus
// answering in between.
#include "can_fixture.h"
#include "vendor_calls.h"

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::VendorDir;
using vendor_calls::Lines;

// What one family does under one protocol (host axis 1, then 4; drive 2 on the bus).
struct Steps {
    Lines open;
    std::string send;  // the board-information query to drive 2
    Lines followHost;  // host axis 1 -> 4
    Lines bitRate;     // 500000 -> 250000
    Lines close;
};

struct Family {
    const char *name;
    const char *variant; // directory of the stand-ins
    uint8_t type;
    const char *device;
    Steps orv, torvane;
};

void PrintTo(const Family &family, std::ostream *out) { *out << family.name; }

using vendor_calls::Append;
using vendor_calls::EsdTorvaneOpen;
using vendor_calls::kV3Channel;
using vendor_calls::kV3Start;
const Lines kV3Close{"canChannelClose $ch", "canControlClose $c", "vciDeviceClose $d"};

const Family kFamilies[] = {
    {"IxxatV3", "", CHANNEL_IXXAT_CAN, "1",
     {Append(Append(kV3Start, {"canControlInitialize $c 2 0x00 0x1C",
                               "canControlSetAccFilter $c 1 0x4000 0x7FF800"}),
             kV3Channel),
      "canChannelSendMessage $ch 200 0x1B004001 0x82 1000",
      {"canControlReset $c", "canControlSetAccFilter $c 1 0x10000 0x7FF800", "canControlStart $c 1"},
      {"canControlStart $c 0", "canControlInitialize $c 2 0x01 0x1C", "canControlStart $c 1"},
      kV3Close},
     {Append(Append(kV3Start, {"canControlInitialize $c 1 0x00 0x1C", "canControlSetAccFilter $c 0 0x0 0xD00",
                               "canControlAddFilterIds $c 0 0x242 0xFFF", "canControlAddFilterIds $c 0 0x282 0xFFF",
                               "canControlAddFilterIds $c 0 0x2C2 0xFFF"}),
             kV3Channel),
      "canChannelSendMessage $ch 200 0x122 0x04 01D81000",
      {"canControlReset $c", "canControlSetAccFilter $c 0 0x0 0xD00", "canControlAddFilterIds $c 0 0x248 0xFFF",
       "canControlAddFilterIds $c 0 0x288 0xFFF", "canControlAddFilterIds $c 0 0x2C8 0xFFF",
       "canControlStart $c 1"},
      {"canControlStart $c 0", "canControlInitialize $c 1 0x01 0x1C", "canControlStart $c 1"},
      kV3Close}},
    {"IxxatV2", "v2-only", CHANNEL_IXXAT_CAN, "1",
     {{"VCI2_PrepareBoard 0 0 null 0 null set null", "VCI_InitCan $b 0 0x00 0x1C 1", "VCI_ConfigQueue $b 0 0 50 0 0 0",
       "VCI_ConfigQueue $b 0 1 50 1 1 1", "VCI_AssignRxQueObj $b $rx 1 0x2000 0x3FFC00", "VCI_StartCan $b 0"},
      "VCI_TransmitObj $b $tx 0x1B004001 2 1000",
      {"VCI_ResetCan $b 0", "VCI_AssignRxQueObj $b $rx 1 0x8000 0x3FFC00", "VCI_StartCan $b 0"},
      {"VCI_InitCan $b 0 0x01 0x1C 1", "VCI_StartCan $b 0"},
      {"VCI_CancelBoard $b"}},
     {{"VCI2_PrepareBoard 0 0 null 0 null set null", "VCI_InitCan $b 0 0x00 0x1C 0", "VCI_ConfigQueue $b 0 0 50 0 0 0",
       "VCI_ConfigQueue $b 0 1 50 1 1 1", "VCI_AssignRxQueObj $b $rx 1 0x0 0x680", "VCI_StartCan $b 0"},
      "VCI_TransmitObj $b $tx 0x122 4 01D81000",
      {},
      {"VCI_InitCan $b 0 0x01 0x1C 0", "VCI_StartCan $b 0"},
      {"VCI_CancelBoard $b"}}},
    {"SysTec", "", CHANNEL_SYS_TEC_USBCAN, "1",
     {{"UcanInitHardware 1 null", "UcanInitCan $m 0x00 0x1C 0xFE001FFB 0x10000"},
      "UcanWriteCanMsg $m 0x1B004001 0x80 2 1000",
      {"UcanSetAcceptance $m 0xFE001FFF 0x40000"},
      {"UcanSetBaudrate $m 0x01 0x1C"},
      {"UcanDeinitCan $m", "UcanDeinitHardware $m"}},
     {{"UcanInitHardware 1 null", "UcanInitCan $m 0x00 0x1C 0x2FEFFFFF 0x0"},
      "UcanWriteCanMsg $m 0x122 0x00 4 01D81000",
      {},
      {"UcanSetBaudrate $m 0x01 0x1C"},
      {"UcanDeinitCan $m", "UcanDeinitHardware $m"}}},
    {"Esd", "", CHANNEL_ESD_CAN, "1",
     {{"canOpen 1 0x0 1 16 200 200", "canSetBaudrate $h 2", "canIoctl $h 5 0xFFC003FF", "canIdAdd $h 0x20002000"},
      "canWrite $h 1 0x3B004001 0x02 1000",
      {"canIdDelete $h 0x20002000", "canIdAdd $h 0x20008000"},
      {"canSetBaudrate $h 4"},
      {"canClose $h"}},
     {EsdTorvaneOpen(),
      "canWrite $h 1 0x122 0x04 01D81000",
      {"canIdDelete $h 0x121", "canIdAdd $h 0x124", "canIdDelete $h 0x141", "canIdAdd $h 0x144",
       "canIdDelete $h 0x161", "canIdAdd $h 0x164"},
      {"canSetBaudrate $h 4"},
      {"canClose $h"}}},
    {"Kvaser", "", CHANNEL_KVASER_CAN, "1",
     {{"canInitializeLibrary", "canOpenChannel 1 0x18", "canSetBusParams $h -2 0 0 0 0 0",
       "canSetAcceptanceFilter $h 0x2000 0x3FFC00 1", "canBusOn $h"},
      "canWrite $h 0x1B004001 1000 2 0x4",
      // Kept on purpose: the filter follows the host, or replies to the new host would be dropped.
      {"canSetAcceptanceFilter $h 0x8000 0x3FFC00 1"},
      {"canSetBusParams $h -3 0 0 0 0 0"},
      {"canClose $h", "canUnloadLibrary"}},
     {{"canInitializeLibrary", "canOpenChannel 1 0x8", "canSetBusParams $h -2 0 0 0 0 0",
       "canSetAcceptanceFilter $h 0x0 0x680 0", "canBusOn $h"},
      "canWrite $h 0x122 01D81000 4 0x2",
      {},
      {"canSetBusParams $h -3 0 0 0 0 0"},
      {"canClose $h", "canUnloadLibrary"}}},
    {"PeakUsb", "", CHANNEL_PEAK_PCAN_USB, "3",
     {{"CAN_Initialize 0x53 0x001C 0 0 0"},
      "CAN_Write 0x53 0x1B004001 0x02 2 1000",
      {},
      {"CAN_Uninitialize 0x53", "CAN_Initialize 0x53 0x011C 0 0 0"},
      {"CAN_Uninitialize 0x53"}},
     {{"CAN_Initialize 0x53 0x001C 0 0 0"},
      "CAN_Write 0x53 0x122 0x00 4 01D81000",
      {},
      {"CAN_Uninitialize 0x53", "CAN_Initialize 0x53 0x011C 0 0 0"},
      {"CAN_Uninitialize 0x53"}}},
    {"PeakDongle", "", CHANNEL_PEAK_PCAN_DONGLE, "1",
     {{"CAN_Initialize 0x31 0x001C 3 888 7"},
      "CAN_Write 0x31 0x1B004001 0x02 2 1000",
      {},
      {"CAN_Uninitialize 0x31", "CAN_Initialize 0x31 0x011C 3 888 7"},
      {"CAN_Uninitialize 0x31"}},
     {{"CAN_Initialize 0x31 0x001C 3 888 7"},
      "CAN_Write 0x31 0x122 0x00 4 01D81000",
      {},
      {"CAN_Uninitialize 0x31", "CAN_Initialize 0x31 0x011C 3 888 7"},
      {"CAN_Uninitialize 0x31"}}},
};

// Reads come and go with timing; everything else is compared exactly.
const Lines kPolls{"canChannelReadMessage", "canChannelPeekMessage", "VCI_ReadQueStatus", "UcanReadCanMsg",
                   "canRead",  "canTake", "CAN_Read"};

class CanFamilyTest : public CanTest, public ::testing::WithParamInterface<Family> {
protected:
    void RunProtocol(ztest::SimProcess &bus, uint8_t protocol, const Steps &steps) {
        const Family &family = GetParam();
        handles_.clear();
        const int32_t handle = lib_.MSK_OpenComm(family.device, 1, 0, static_cast<uint8_t>(family.type | protocol));
        ASSERT_GT(handle, 0) << LastError();
        EXPECT_TRUE(Match(CallsBut(kPolls), steps.open));
        EXPECT_EQ(lib_.MSK_GetBaudRate(), 500000u);

        char version[8] = {};
        ASSERT_TRUE(lib_.MSK_SetActiveDrive(2));
        ASSERT_TRUE(lib_.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_STREQ(version, "F120H");
        EXPECT_TRUE(Match(CallsBut(kPolls), {steps.send}));

        // The drive answers the new host: the filters follow it.
        ASSERT_TRUE(lib_.MSK_SetHostDrive(4)) << LastError();
        EXPECT_TRUE(Match(CallsBut(kPolls), steps.followHost));
        version[0] = '\0';
        ASSERT_TRUE(lib_.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_STREQ(version, "F120H");
        EXPECT_EQ(BusMessages(bus, "pc").back(), "0020:D801:0040");
        Calls();

        // At another rate than the drives' nothing gets through, until the drives follow.
        ASSERT_TRUE(lib_.MSK_SetBaudRate(250000)) << LastError();
        EXPECT_TRUE(Match(CallsBut(kPolls), steps.bitRate));
        EXPECT_EQ(lib_.MSK_GetBaudRate(), 250000u);
        EXPECT_FALSE(lib_.MSK_GetDriveVersion(version));
        EXPECT_EQ(LastError(), Text(0x20000069));
        EXPECT_EQ(bus.Command("bitrate 250000"), "OK 250000");
        EXPECT_TRUE(lib_.MSK_GetDriveVersion(version)) << LastError();
        EXPECT_EQ(bus.Command("bitrate 500000"), "OK 500000");
        Calls();

        EXPECT_TRUE(lib_.MSK_CloseComm(handle));
        EXPECT_TRUE(Match(CallsBut(kPolls), steps.close));
    }
};

TEST_P(CanFamilyTest, OpensFiltersChangesRateAndCloses) {
    if (!InProcessWithSearchPath(VendorDir(GetParam().variant))) return;
    auto bus = StartBus({"--axes", "2,3"});
    Start();
    RunProtocol(*bus, CHANNEL_PROTOCOL_ORV, GetParam().orv);
    if (HasFatalFailure()) return;
    EXPECT_EQ(bus->Command("protocol torvanecan"), "OK torvanecan");
    RunProtocol(*bus, CHANNEL_PROTOCOL_TORVANECAN, GetParam().torvane);
}

INSTANTIATE_TEST_SUITE_P(Families, CanFamilyTest, ::testing::ValuesIn(kFamilies),
                         [](const auto &info) { return std::string(info.param.name); });

class CanOpenTest : public CanTest {};

// A failing vendor call ends the open with its status mapped, the adapter's clean-up calls
// made, and nothing left that would keep the next open from working.
TEST_F(CanOpenTest, FailingCallsAreMappedAndCleanedUp) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    struct Case {
        uint8_t type;
        const char *fail;
        uint32_t code;
        Lines tail; // the failing call and the clean-up after it
    };
    const Case cases[] = {
        {CHANNEL_IXXAT_CAN, "canChannelInitialize=0xE0010004", 0x20000103,
         {"canChannelInitialize $ch 16 1 1 1", "canChannelClose $ch", "canControlClose $c", "vciDeviceClose $d"}},
        {CHANNEL_IXXAT_CAN, "canControlSetAccFilter=0xE0010099", 0x20000083,
         {"canControlSetAccFilter $c 1 0x4000 0x7FF800", "canControlClose $c", "vciDeviceClose $d"}},
        {CHANNEL_SYS_TEC_USBCAN, "UcanInitCan=5", 0x2000008f,
         {"UcanInitCan $m 0x00 0x1C 0xFE001FFB 0x10000", "UcanDeinitHardware $m"}},
        {CHANNEL_SYS_TEC_USBCAN, "UcanInitHardware=67", 0x2000009b, {"UcanInitHardware 1 null"}},
        // esd statuses outside the table are the error code themselves.
        {CHANNEL_ESD_CAN, "canIdAdd=0xE0000003", 0xE0000003, {"canIdAdd $h 0x20002000", "canClose $h"}},
        {CHANNEL_ESD_CAN, "canOpen=0xE0000012", 0x200000bc, {"canOpen 1 0x0 1 16 200 200"}},
        {CHANNEL_KVASER_CAN, "canBusOn=-10", 0x200000c5, {"canBusOn $h", "canClose $h", "canUnloadLibrary"}},
        {CHANNEL_KVASER_CAN, "canOpenChannel=-3", 0x200000c2, {"canOpenChannel 1 0x18", "canUnloadLibrary"}},
        {CHANNEL_PEAK_PCAN_PCI, "CAN_Initialize=0x4000", 0x200000ab, {"CAN_Initialize 0x41 0x001C 0 0 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail);
        handles_.clear();
        setenv("ZORCOMM_VENDOR_FAIL", c.fail, 1);
        EXPECT_EQ(lib.MSK_OpenComm("1", 1, 0, c.type), -1);
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "Error code 0x%X", c.code);
        EXPECT_EQ(LastError(), Text(c.code).empty() ? unknown : Text(c.code));
        const Lines calls = CallsBut(kPolls);
        ASSERT_GE(calls.size(), c.tail.size());
        EXPECT_TRUE(Match(Lines(calls.end() - static_cast<long>(c.tail.size()), calls.end()), c.tail));
        // Nothing of the attempt remains: the same adapter opens now.
        unsetenv("ZORCOMM_VENDOR_FAIL");
        const int32_t handle = lib.MSK_OpenComm("1", 1, 0, c.type);
        EXPECT_GT(handle, 0) << LastError();
        EXPECT_TRUE(lib.MSK_CloseComm(handle));
        Calls();
    }
}

TEST_F(CanOpenTest, IxxatFallsBackToVersion2WhenVersion3CannotBeBound) {
    if (!InProcessWithSearchPath(VendorDir("missing-canControlAddFilterIds"))) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    const int32_t handle = lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN);
    ASSERT_GT(handle, 0) << LastError();
    const Lines calls = CallsBut(kPolls);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], "VCI2_PrepareBoard 0 0 null 0 null set null");
    EXPECT_EQ(Count(calls, "vci"), 0u);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

// A library lacking a name counts as missing, even a name that is never called.
TEST_F(CanOpenTest, LibrariesThatCannotBeBound) {
    if (!InProcessWithSearchPath(VendorDir("missing-UcanGetStatus"))) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    const std::pair<uint8_t, uint32_t> cases[] = {
        {CHANNEL_SYS_TEC_USBCAN, 0x2000008a}, {CHANNEL_IXXAT_CAN, 0x20000082}, {CHANNEL_ESD_CAN, 0x200000ad},
        {CHANNEL_KVASER_CAN, 0x200000bd},     {CHANNEL_PEAK_PCAN_USB, 0x2000009c},
    };
    for (const auto &[type, code] : cases) {
        EXPECT_EQ(lib.MSK_OpenComm("1", 1, 0, type), -1) << int(type);
        EXPECT_EQ(LastError(), Text(code)) << int(type);
    }
    EXPECT_TRUE(Calls().empty());
}

} // namespace
