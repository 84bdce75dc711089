// Every failure status of every CAN adapter library, injected into the stand-ins' send and receive
// calls of an open channel: the export fails with the library's code for the status, within the
// time-outs, and the channel's next exchange works.
#include "can_fixture.h"

#include <chrono>
#include <thread>

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::VendorDir;
using Clock = std::chrono::steady_clock;

struct Status {
    int64_t status;
    uint32_t code;
};

// The vendors' statuses and the library's codes for them, as the adapter layer documents them.
// The last entry of each is a status the table does not know.
const std::vector<Status> kIxxatV3 = {
    {0xE0010001, 0x20000100}, {0xE0010002, 0x20000101}, {0xE0010003, 0x20000102},
    {0xE0010004, 0x20000103}, {0xE0010005, 0x20000104}, {0xE0010006, 0x20000105},
    {0xE0010007, 0x20000084}, {0xE0010008, 0x20000107}, {0xE0010009, 0x20000108},
    {0xE001000A, 0x20000109}, {0xE001000B, 0x2000010a}, {0xE001000C, 0x2000010b},
    {0xE001000D, 0x2000010c}, {0xE001000E, 0x2000010d}, {0xE001000F, 0x2000010e},
    {0xE0010010, 0x2000010f}, {0xE0010011, 0x20000110}, {0xE0010012, 0x20000111},
    {0xE0010013, 0x20000112}, {0xE0010014, 0x20000113}, {0xE0010015, 0x20000114},
    {0xE0010016, 0x20000115}, {0xE0010017, 0x20000116}, {0xE0010018, 0x20000117},
    {0xE0010099, 0x20000083}};
const std::vector<Status> kIxxatV2 = {{-1, 0x20000084}, {-2, 0x20000085}, {-3, 0x20000086},
                                      {-4, 0x20000087}, {-5, 0x20000088}, {-6, 0x20000089},
                                      {-9, 0x20000083}};
const std::vector<Status> kSysTec = {
    {2, 0x2000008c},  {3, 0x2000008d},  {4, 0x2000008e},  {5, 0x2000008f},  {6, 0x20000090},
    {7, 0x20000091},  {8, 0x20000092},  {9, 0x20000093},  {10, 0x20000094}, {11, 0x20000095},
    {12, 0x20000096}, {13, 0x20000097}, {64, 0x20000098}, {65, 0x20000099}, {66, 0x2000009a},
    {67, 0x2000009b}, {30, 0x2000008b}};
const std::vector<Status> kPeak = {
    {1, 0x200000a1},   {2, 0x200000a2},   {4, 0x200000a3},      {8, 0x200000a3},
    {16, 0x200000a4},  {32, 0x200000a5},  {64, 0x200000a6},     {128, 0x200000a7},
    {256, 0x200000a8}, {512, 0x200000a9}, {0x4000, 0x200000ab}, {0x8000, 0x200000ac},
    {0x800, 0x200000aa}};
const std::vector<Status> kEsd = {
    {0xE0000001, 0x200000ae}, {0xE0000002, 0x200000af}, {0xE0000004, 0x200000b0},
    {0xE0000005, 0x200000b1}, {0xE0000006, 0x200000b2}, {0xE0000007, 0x200000b3},
    {0xE0000009, 0x200000b4}, {0xE000000A, 0x200000b5}, {0xE000000B, 0x200000b6},
    {0xE000000D, 0x200000b7}, {0xE000000E, 0x200000b8}, {0xE000000F, 0x200000b9},
    {0xE0000010, 0x200000ba}, {0xE0000011, 0x200000bb}, {0xE0000012, 0x200000bc},
    {0xE0000003, 0xE0000003}};
const std::vector<Status> kKvaser = {{2, 0x200000be},    {128, 0x200000bf}, {256, 0x200000c0},
                                     {1536, 0x200000c1}, {-1, 0x200000c4},  {-3, 0x200000c2},
                                     {-5, 0x200000c3},   {-10, 0x200000c5}, {-7, 0xFFFFFFF9}};

struct Family {
    const char *name;
    const char *variant;
    uint8_t type;
    const char *send;                // the entry point a message send calls
    const char *receive;             // the one a receive calls; null when frames are pushed
    std::vector<Status> statuses;
    std::vector<int64_t> notFailures; // receive statuses that mean "nothing there (yet)"
};

void PrintTo(const Family &family, std::ostream *out) { *out << family.name; }

const Family kFamilies[] = {
    {"IxxatV3", "", CHANNEL_IXXAT_CAN, "canChannelSendMessage", "canChannelReadMessage", kIxxatV3,
     {0xE0010012, 0xE001000B}},
    {"IxxatV2", "v2-only", CHANNEL_IXXAT_CAN, "VCI_TransmitObj", nullptr, kIxxatV2, {}},
    // Statuses from 64 on are warnings that come with a frame when reading.
    {"SysTec", "", CHANNEL_SYS_TEC_USBCAN, "UcanWriteCanMsg", "UcanReadCanMsg", kSysTec,
     {64, 65, 66, 67}},
    {"Peak", "", CHANNEL_PEAK_PCAN_USB, "CAN_Write", "CAN_Read", kPeak, {32}},
    {"Esd", "", CHANNEL_ESD_CAN, "canWrite", "canRead", kEsd, {}},
    {"Kvaser", "", CHANNEL_KVASER_CAN, "canWrite", "canRead", kKvaser, {-2}},
};

std::string Injection(const char *name, int64_t status) {
    return std::string(name) + "=" + std::to_string(status) + ",1";
}

class VendorStatusTest : public CanTest, public ::testing::WithParamInterface<Family> {
protected:
    void Failed(const char *what, int64_t status, uint32_t code, Clock::time_point start) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "Error code 0x%X", code);
        const std::string expected = Text(code).empty() ? unknown : Text(code);
        EXPECT_EQ(LastError(), expected) << what << " " << status;
        // No hang: every wait is bounded by the settings' 200 ms time-outs.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << what << " " << status;
    }
};

TEST_P(VendorStatusTest, EachStatusFailsTheCallAndTheChannelGoesOn) {
    const Family &family = GetParam();
    if (!InProcessWithSearchPath(VendorDir(family.variant))) return;
    auto bus = StartBus({"--axes", "2", "--pc-address", "0x10"});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("1", 1, 0, family.type), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2)) << LastError();
    const DriveMessage message{1, 0x0020, 0x1234, {7}};
    DriveMessage received{};

    for (const Status &s : family.statuses) {
        setenv("ZORCOMM_VENDOR_FAIL", Injection(family.send, s.status).c_str(), 1);
        auto start = Clock::now();
        EXPECT_FALSE(lib.MSK_SendMessage(&message)) << family.send << " " << s.status;
        Failed(family.send, s.status, s.code, start);
        EXPECT_TRUE(lib.MSK_SendMessage(&message)) << "after " << s.status << ": " << LastError();

        if (!family.receive) continue;
        const auto &quiet = family.notFailures;
        if (std::find(quiet.begin(), quiet.end(), s.status) != quiet.end()) continue;
        ASSERT_EQ(bus->Command("unsolicited 2 0x4321 " + std::to_string(s.code & 0xFFFF)), "OK");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        setenv("ZORCOMM_VENDOR_FAIL", Injection(family.receive, s.status).c_str(), 1);
        start = Clock::now();
        EXPECT_FALSE(lib.MSK_ReceiveMessage(&received)) << family.receive << " " << s.status;
        Failed(family.receive, s.status, s.code, start);
        // The message that waited behind the failure is still there.
        ASSERT_TRUE(lib.MSK_ReceiveMessage(&received)) << "after " << s.status << ": " << LastError();
        EXPECT_EQ(received.opCode, 0x4321);
        EXPECT_EQ(received.data[0], s.code & 0xFFFF);
    }
    unsetenv("ZORCOMM_VENDOR_FAIL");
    char version[8] = {};
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

INSTANTIATE_TEST_SUITE_P(Families, VendorStatusTest, ::testing::ValuesIn(kFamilies),
                         [](const auto &info) { return std::string(info.param.name); });

// The version 2 library's transmit wait: a failing queue status is mapped and gives no hang.
class QueueStatusTest : public CanTest {};

TEST_F(QueueStatusTest, IxxatV2TransmitQueueStatusFailures) {
    if (!InProcessWithSearchPath(VendorDir("v2-only"))) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN), 0) << LastError();
    const DriveMessage message{1, 0x0020, 0x1234, {7}};
    for (const Status &s : kIxxatV2) {
        setenv("ZORCOMM_VENDOR_FAIL", Injection("VCI_ReadQueStatus", s.status).c_str(), 1);
        EXPECT_FALSE(lib.MSK_SendMessage(&message)) << s.status;
        EXPECT_EQ(LastError(), Text(s.code)) << s.status;
        EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    }
    // A queue that never empties: the send time-out, then the channel goes on.
    setenv("ZORCOMM_VENDOR_FAIL", "VCI_ReadQueStatus=3", 1);
    const auto start = Clock::now();
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x20000075));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    unsetenv("ZORCOMM_VENDOR_FAIL");
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

} // namespace
