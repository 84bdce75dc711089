// The stand-in adapter libraries loaded with dlopen, on a real bus process: vendor semantics,
// call log, failure injection, the variants lacking one name, two processes on one bus.
#include "can_test_support.h"

#include "transport/vendor/canlib.h"
#include "transport/vendor/ntcan.h"
#include "transport/vendor/pcanbasic.h"
#include "transport/vendor/usbcan.h"
#include "transport/vendor/vci11un6.h"
#include "transport/vendor/vcinpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <span>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zsim_test::BusProcess;
using zsim_test::VendorLibrary;
using zsim_test::VendorPath;
using zsim_test::WaitFor;
namespace pb = zorcomm::vendor::pcanbasic;
namespace kv = zorcomm::vendor::canlib;
namespace nt = zorcomm::vendor::ntcan;
namespace uc = zorcomm::vendor::usbcan;
namespace v3 = zorcomm::vendor::vcinpl;
namespace v2 = zorcomm::vendor::vci11un6;

// Sets an environment variable for the scope; the old value comes back afterwards.
class EnvVar {
public:
    EnvVar(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvVar() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    void Set(const char *value) { setenv(name_, value, 1); }

private:
    const char *name_;
    std::optional<std::string> old_;
};

std::vector<std::string> Lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A bus with the drives at axes 1 and 2 and the stand-ins pointed at it and logging.
class VendorTest : public testing::Test {
protected:
    explicit VendorTest(std::vector<std::string> options = {"--axes", "1,2"})
        : bus_(std::move(options)), busVar_("ZORCOMM_CANBUS", bus_.socket().c_str()),
          log_(bus_.dir().File("calls.log")), logVar_("ZORCOMM_VENDOR_LOG", log_.c_str()),
          failVar_("ZORCOMM_VENDOR_FAIL", nullptr), filterVar_("ZORCOMM_VENDOR_FILTERS", nullptr)
    {
    }

    BusProcess bus_;
    EnvVar busVar_;
    std::string log_;
    EnvVar logVar_;
    EnvVar failVar_;
    EnvVar filterVar_;
};

class TorvaneVendorTest : public VendorTest {
protected:
    TorvaneVendorTest() : VendorTest({"--axes", "1,2", "--protocol", "torvanecan"}) {}
};

// Board information to axis 2, answer to host axis 10, under orv.
constexpr uint32_t kOrvQueryId = 0x1B004001;
constexpr uint32_t kOrvAnswerId = 0x1B014001;
// The same answer as it would go to host axis 11: filtered out by host 10's adapters.
constexpr uint32_t kOrvOtherHostId = 0x1B016001;

TEST_F(VendorTest, PeakChannelReachesTheDrivesAndLogsEveryCall)
{
    VendorLibrary lib(VendorPath("libpcanbasic.so"));
    ASSERT_TRUE(lib.loaded());
    auto initialize = lib.Get<pb::CAN_Initialize_t>("CAN_Initialize");
    auto uninitialize = lib.Get<pb::CAN_Uninitialize_t>("CAN_Uninitialize");
    auto read = lib.Get<pb::CAN_Read_t>("CAN_Read");
    auto write = lib.Get<pb::CAN_Write_t>("CAN_Write");

    ASSERT_EQ(initialize(0x41, 0x001C, 0, 0, 0), pb::kOk);
    EXPECT_EQ(initialize(0x41, 0x001C, 0, 0, 0), pb::kErrInitialize) << "a channel initialised twice";
    pb::TPCANMsg msg{};
    pb::TPCANTimestamp stamp{};
    EXPECT_EQ(read(0x41, &msg, &stamp), pb::kErrQrcvEmpty);

    pb::TPCANMsg query{kOrvQueryId, pb::kMessageExtended, 2, {0xA0, 0x00}};
    ASSERT_EQ(write(0x41, &query), pb::kOk);
    ASSERT_TRUE(WaitFor([&] { return read(0x41, &msg, &stamp) == pb::kOk; }));
    EXPECT_EQ(msg.ID, kOrvAnswerId);
    EXPECT_EQ(msg.MSGTYPE, pb::kMessageExtended);
    ASSERT_EQ(msg.LEN, 4);
    EXPECT_EQ(std::vector<uint8_t>(msg.DATA, msg.DATA + 4), (std::vector<uint8_t>{0x32, 0x31, 0x48, 0x30}));
    EXPECT_EQ(uninitialize(0x41), pb::kOk);
    EXPECT_EQ(read(0x41, &msg, &stamp), pb::kErrInitialize);

    const auto lines = Lines(log_);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "CAN_Initialize 0x41 0x001C 0 0 0");
    EXPECT_EQ(lines[1], "CAN_Initialize 0x41 0x001C 0 0 0");
    EXPECT_EQ(lines[2], "CAN_Read 0x41");
    EXPECT_EQ(lines[3], "CAN_Write 0x41 0x1B004001 0x02 2 A000");
    EXPECT_EQ(lines[lines.size() - 2], "CAN_Uninitialize 0x41");
    EXPECT_EQ(lines.back(), "CAN_Read 0x41");

    EnvVar noBus("ZORCOMM_CANBUS", nullptr);
    EXPECT_EQ(initialize(0x51, 0x001C, 0, 0, 0), pb::kErrNoDriver);
    EXPECT_EQ(initialize(0x59, 0x001C, 0, 0, 0), pb::kErrIllHw);
}

TEST_F(VendorTest, InjectedFailuresReturnTheGivenStatusForTheGivenCount)
{
    VendorLibrary peak(VendorPath("libpcanbasic.so"));
    VendorLibrary kvaser(VendorPath("libcanlib.so"));
    auto initialize = peak.Get<pb::CAN_Initialize_t>("CAN_Initialize");
    auto status = peak.Get<pb::CAN_GetStatus_t>("CAN_GetStatus");
    auto write = peak.Get<pb::CAN_Write_t>("CAN_Write");
    auto initLibrary = kvaser.Get<kv::canInitializeLibrary_t>("canInitializeLibrary");
    auto open = kvaser.Get<kv::canOpenChannel_t>("canOpenChannel");

    failVar_.Set("CAN_Initialize=0x4000,1; CAN_GetStatus=0x10 ;canOpenChannel=-3,2;bogus");
    EXPECT_EQ(initialize(0x51, 0x001C, 0, 0, 0), 0x4000u);
    EXPECT_EQ(initialize(0x51, 0x001C, 0, 0, 0), pb::kOk) << "the count was not used up";
    EXPECT_EQ(status(0x51), 0x10u);
    EXPECT_EQ(status(0x51), 0x10u) << "without a count every call fails";
    initLibrary();
    EXPECT_EQ(open(0, 0x18), -3);
    EXPECT_EQ(open(0, 0x18), -3);
    EXPECT_EQ(open(0, 0x18), 0);

    // A new text is read afresh.
    failVar_.Set("CAN_Write=1");
    pb::TPCANMsg msg{0x123, pb::kMessageStandard, 0, {}};
    EXPECT_EQ(write(0x51, &msg), 1u);
    EXPECT_EQ(status(0x51), pb::kOk);
    // The failing call is logged like any other.
    const auto lines = Lines(log_);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CAN_Initialize 0x51 0x001C 0 0 0"), 2);
    EXPECT_TRUE(Contains(lines, "canOpenChannel 0 0x18"));
}

TEST_F(VendorTest, KvaserReadsWithoutWaitingFiltersAndReportsErrorFrames)
{
    VendorLibrary lib(VendorPath("libcanlib.so"));
    auto initLibrary = lib.Get<kv::canInitializeLibrary_t>("canInitializeLibrary");
    auto open = lib.Get<kv::canOpenChannel_t>("canOpenChannel");
    auto busParams = lib.Get<kv::canSetBusParams_t>("canSetBusParams");
    auto filter = lib.Get<kv::canSetAcceptanceFilter_t>("canSetAcceptanceFilter");
    auto busOn = lib.Get<kv::canBusOn_t>("canBusOn");
    auto write = lib.Get<kv::canWrite_t>("canWrite");
    auto read = lib.Get<kv::canRead_t>("canRead");
    auto unload = lib.Get<kv::canUnloadLibrary_t>("canUnloadLibrary");

    EXPECT_EQ(open(1, 0x18), kv::canERR_NOTINITIALIZED);
    initLibrary();
    const kv::canHandle h = open(1, 0x18);
    ASSERT_EQ(h, 0);
    ASSERT_EQ(busParams(h, kv::canBITRATE_500K, 0, 0, 0, 0, 0), kv::canOK);
    ASSERT_EQ(filter(h, 0xA0 << 9, 0x3FFC00, 1), kv::canOK);
    ASSERT_EQ(busOn(h), kv::canOK);

    long id = 0;
    uint8_t data[8] = {};
    unsigned int dlc = 0, flags = 0;
    unsigned long time = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(read(h, &id, data, &dlc, &flags, &time), kv::canERR_NOMSG);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms) << "canRead waited";

    uint8_t query[] = {0xA0, 0x00};
    ASSERT_EQ(write(h, kOrvQueryId, query, 2, kv::canMSG_EXT), kv::canOK);
    ASSERT_TRUE(WaitFor([&] { return read(h, &id, data, &dlc, &flags, &time) == kv::canOK; }));
    EXPECT_EQ(id, kOrvAnswerId);
    EXPECT_EQ(flags, kv::canMSG_EXT);
    EXPECT_EQ(dlc, 4u);

    // A frame for another host does not pass the filter; one for this host does.
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvOtherHostId) + " 1 2"), "OK");
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvAnswerId) + " 3 4"), "OK");
    ASSERT_TRUE(WaitFor([&] { return read(h, &id, data, &dlc, &flags, &time) == kv::canOK; }));
    EXPECT_EQ(id, kOrvAnswerId);
    EXPECT_EQ(data[0], 3);

    EXPECT_EQ(bus_.Control("error-frame"), "OK");
    ASSERT_TRUE(WaitFor([&] { return read(h, &id, data, &dlc, &flags, &time) == kv::canOK; }));
    EXPECT_EQ(flags, kv::canMSG_ERROR_FRAME);

    EXPECT_EQ(unload(), kv::canOK);
    EXPECT_EQ(read(h, &id, data, &dlc, &flags, &time), kv::canERR_INVHANDLE) << "canUnloadLibrary left the channel open";
    EXPECT_TRUE(Contains(Lines(log_), "canSetAcceptanceFilter 0 0x14000 0x3FFC00 1"));
    EXPECT_TRUE(Contains(Lines(log_), "canWrite 0 0x1B004001 A000 2 0x4"));
}

TEST_F(TorvaneVendorTest, EsdPassesEnabledIdentifiersAndCountsWhatItTakes)
{
    VendorLibrary lib(VendorPath("libntcan.so"));
    auto open = lib.Get<nt::canOpen_t>("canOpen");
    auto baudrate = lib.Get<nt::canSetBaudrate_t>("canSetBaudrate");
    auto idAdd = lib.Get<nt::canIdAdd_t>("canIdAdd");
    auto idDelete = lib.Get<nt::canIdDelete_t>("canIdDelete");
    auto take = lib.Get<nt::canTake_t>("canTake");
    auto read = lib.Get<nt::canRead_t>("canRead");
    auto write = lib.Get<nt::canWrite_t>("canWrite");
    auto ioctl = lib.Get<nt::canIoctl_t>("canIoctl");

    nt::NTCAN_HANDLE h = 0;
    ASSERT_EQ(open(1, 0, 1, 16, 100, 100, &h), nt::NTCAN_SUCCESS);
    EXPECT_NE(h, 0);
    ASSERT_EQ(baudrate(h, nt::NTCAN_BAUD_500), nt::NTCAN_SUCCESS);
    ASSERT_EQ(idAdd(h, 0x12A), nt::NTCAN_SUCCESS);

    nt::CMSG messages[4]{};
    int32_t count = 4;
    EXPECT_EQ(take(h, messages, &count), nt::NTCAN_SUCCESS);
    EXPECT_EQ(count, 0);

    nt::CMSG query{0x122, 4, 0, {0, 0}, {0x01, 0xD8, 0xA0, 0x00}};
    count = 1;
    ASSERT_EQ(write(h, &query, &count, nullptr), nt::NTCAN_SUCCESS);
    EXPECT_EQ(count, 1);
    ASSERT_TRUE(WaitFor([&] {
        count = 4;
        return take(h, messages, &count) == nt::NTCAN_SUCCESS && count > 0;
    }));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(messages[0].id, 0x12A);
    EXPECT_EQ(messages[0].len, 6);

    // 0x12B is not enabled; a blocking read waits the receive time-out given to canOpen.
    EXPECT_EQ(bus_.Control("inject std 0x12B 1 2"), "OK");
    count = 1;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(read(h, messages, &count, nullptr), nt::NTCAN_RX_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 90ms);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(idDelete(h, 0x14A), nt::NTCAN_ID_NOT_ENABLED);

    // 29-bit identifiers: the acceptance code under the command-5 mask (set bits not compared).
    uint32_t mask = 0xFFC003FF;
    ASSERT_EQ(ioctl(h, nt::NTCAN_IOCTL_SET_20B_HND_FILTER, &mask), nt::NTCAN_SUCCESS);
    ASSERT_EQ(idAdd(h, static_cast<int32_t>(0x20000000u | 0xA0u << 9)), nt::NTCAN_SUCCESS);
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvOtherHostId)), "OK");
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvAnswerId) + " 7"), "OK");
    count = 1;
    ASSERT_EQ(read(h, messages, &count, nullptr), nt::NTCAN_SUCCESS);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(static_cast<uint32_t>(messages[0].id), nt::NTCAN_20B_BASE | kOrvAnswerId);
    EXPECT_EQ(messages[0].data[0], 7);

    const auto lines = Lines(log_);
    EXPECT_EQ(lines.front(), "canOpen 1 0x0 1 16 100 100");
    EXPECT_TRUE(Contains(lines, "canWrite 1 1 0x122 0x04 01D8A000"));
    EXPECT_TRUE(Contains(lines, "canIoctl 1 5 0xFFC003FF"));
    EXPECT_TRUE(Contains(lines, "canIdAdd 1 0x20014000"));
}

TEST_F(VendorTest, SysTecComparesFramesInTheAdapterRegisterLayout)
{
    VendorLibrary lib(VendorPath("libusbcan32.so"));
    auto initHardware = lib.Get<uc::UcanInitHardware_t>("UcanInitHardware");
    auto initCan = lib.Get<uc::UcanInitCan_t>("UcanInitCan");
    auto readMsg = lib.Get<uc::UcanReadCanMsg_t>("UcanReadCanMsg");
    auto deinitCan = lib.Get<uc::UcanDeinitCan_t>("UcanDeinitCan");
    auto deinitHardware = lib.Get<uc::UcanDeinitHardware_t>("UcanDeinitHardware");

    uc::tUcanHandle h = 0xFF;
    ASSERT_EQ(initHardware(&h, 1, nullptr), uc::USBCAN_SUCCESSFUL);
    EXPECT_EQ(h, 0);
    ASSERT_EQ(initCan(h, 0x00, 0x1C, 0xFE001FFB, 0xA0u << 12), uc::USBCAN_SUCCESSFUL);
    uc::tCanMsgStruct msg{};
    EXPECT_EQ(readMsg(h, &msg), uc::USBCAN_WARN_NODATA);

    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvOtherHostId)), "OK");
    EXPECT_EQ(bus_.Control("inject rtr-ext " + std::to_string(kOrvAnswerId)), "OK");
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvAnswerId) + " 5 6"), "OK");
    ASSERT_TRUE(WaitFor([&] { return readMsg(h, &msg) == uc::USBCAN_SUCCESSFUL; }));
    EXPECT_EQ(uint32_t{msg.m_dwID}, kOrvAnswerId) << "another host's frame or a remote request passed";
    EXPECT_EQ(msg.m_bFF, uc::USBCAN_MSG_FF_EXT);
    EXPECT_EQ(msg.m_bDLC, 2);

    {
        EnvVar open("ZORCOMM_VENDOR_FILTERS", "off");
        EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvOtherHostId)), "OK");
        ASSERT_TRUE(WaitFor([&] { return readMsg(h, &msg) == uc::USBCAN_SUCCESSFUL; }));
        EXPECT_EQ(uint32_t{msg.m_dwID}, kOrvOtherHostId);
    }
    EXPECT_EQ(deinitCan(h), uc::USBCAN_SUCCESSFUL);
    EXPECT_EQ(deinitHardware(h), uc::USBCAN_SUCCESSFUL);
    EXPECT_EQ(readMsg(h, &msg), uc::USBCAN_ERR_ILLHANDLE);
    EXPECT_TRUE(Contains(Lines(log_), "UcanInitCan 0 0x00 0x1C 0xFE001FFB 0xA0000"));
}

TEST_F(TorvaneVendorTest, IxxatV3OpensThroughTheEnumerationAndWaitsOnRead)
{
    VendorLibrary lib(VendorPath("libvcinpl.so"));
    auto enumOpen = lib.Get<v3::vciEnumDeviceOpen_t>("vciEnumDeviceOpen");
    auto enumNext = lib.Get<v3::vciEnumDeviceNext_t>("vciEnumDeviceNext");
    auto enumClose = lib.Get<v3::vciEnumDeviceClose_t>("vciEnumDeviceClose");
    auto deviceOpen = lib.Get<v3::vciDeviceOpen_t>("vciDeviceOpen");
    auto controlOpen = lib.Get<v3::canControlOpen_t>("canControlOpen");
    auto controlInit = lib.Get<v3::canControlInitialize_t>("canControlInitialize");
    auto accFilter = lib.Get<v3::canControlSetAccFilter_t>("canControlSetAccFilter");
    auto addIds = lib.Get<v3::canControlAddFilterIds_t>("canControlAddFilterIds");
    auto start = lib.Get<v3::canControlStart_t>("canControlStart");
    auto channelOpen = lib.Get<v3::canChannelOpen_t>("canChannelOpen");
    auto channelInit = lib.Get<v3::canChannelInitialize_t>("canChannelInitialize");
    auto activate = lib.Get<v3::canChannelActivate_t>("canChannelActivate");
    auto peek = lib.Get<v3::canChannelPeekMessage_t>("canChannelPeekMessage");
    auto readMsg = lib.Get<v3::canChannelReadMessage_t>("canChannelReadMessage");
    auto send = lib.Get<v3::canChannelSendMessage_t>("canChannelSendMessage");

    v3::HANDLE enumerator = nullptr;
    v3::VCIDEVICEINFO info{};
    ASSERT_EQ(enumOpen(&enumerator), v3::VCI_OK);
    ASSERT_EQ(enumNext(enumerator, &info), v3::VCI_OK);
    EXPECT_EQ(enumNext(enumerator, &info), v3::VCI_E_NO_MORE_ITEMS);
    EXPECT_EQ(enumClose(enumerator), v3::VCI_OK);
    v3::VCIID id{{info.VciObjectId[0], info.VciObjectId[1]}};
    v3::HANDLE device = nullptr, control = nullptr, channel = nullptr;
    ASSERT_EQ(deviceOpen(&id, &device), v3::VCI_OK);
    ASSERT_EQ(controlOpen(device, 0, &control), v3::VCI_OK);
    ASSERT_EQ(controlInit(control, v3::CAN_OPMODE_STANDARD, 0x00, 0x1C), v3::VCI_OK);
    ASSERT_EQ(accFilter(control, 0, 0, 0xD00), v3::VCI_OK);
    ASSERT_EQ(addIds(control, 0, 0x254, 0xFFF), v3::VCI_OK); // 0x12A in the x2 form
    ASSERT_EQ(start(control, 1), v3::VCI_OK);
    ASSERT_EQ(channelOpen(device, 0, 0, &channel), v3::VCI_OK);
    ASSERT_EQ(channelInit(channel, 16, 1, 1, 1), v3::VCI_OK);
    ASSERT_EQ(activate(channel, 1), v3::VCI_OK);

    v3::CANMSG msg{};
    EXPECT_EQ(peek(channel, &msg), v3::VCI_E_RXQUEUE_EMPTY);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(readMsg(channel, 50, &msg), v3::VCI_E_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 45ms);

    v3::CANMSG query{0, 0x122, {v3::CAN_MSGTYPE_DATA, 0, 4, 0}, {0x01, 0xD8, 0xA0, 0x00}};
    ASSERT_EQ(send(channel, 100, &query), v3::VCI_OK);
    ASSERT_EQ(readMsg(channel, 2000, &msg), v3::VCI_OK);
    EXPECT_EQ(msg.dwMsgId, 0x12Au);
    EXPECT_EQ(msg.uMsgInfo.bFlags, 6);
    // Bit 9 set: outside the acceptance filter and not in the list; 29-bit: not in standard mode.
    EXPECT_EQ(bus_.Control("inject std 0x22A"), "OK");
    EXPECT_EQ(bus_.Control("inject ext 0x12A"), "OK");
    EXPECT_EQ(readMsg(channel, 100, &msg), v3::VCI_E_TIMEOUT);

    const auto lines = Lines(log_);
    EXPECT_TRUE(Contains(lines, "vciDeviceOpen 0x1"));
    EXPECT_TRUE(Contains(lines, "canControlInitialize 0x20001 1 0x00 0x1C"));
    EXPECT_TRUE(Contains(lines, "canControlAddFilterIds 0x20001 0 0x254 0xFFF"));
    EXPECT_TRUE(Contains(lines, "canChannelSendMessage 0x30001 100 0x122 0x04 01D8A000"));

    EnvVar noBus("ZORCOMM_CANBUS", nullptr);
    ASSERT_EQ(enumOpen(&enumerator), v3::VCI_OK);
    EXPECT_EQ(enumNext(enumerator, &info), v3::VCI_E_NO_MORE_ITEMS);
}

// What the VCI V2 receive handler saw.
struct Received {
    std::mutex mutex;
    std::vector<std::pair<uint16_t, v2::VCI_CAN_OBJ>> objects;
    std::thread::id thread;
};
Received gReceived;

void OnReceive(uint16_t queue, uint16_t count, v2::VCI_CAN_OBJ *objects)
{
    std::lock_guard lock(gReceived.mutex);
    gReceived.thread = std::this_thread::get_id();
    for (uint16_t i = 0; i < count; ++i) gReceived.objects.emplace_back(queue, objects[i]);
}

std::size_t ReceivedCount()
{
    std::lock_guard lock(gReceived.mutex);
    return gReceived.objects.size();
}

TEST_F(VendorTest, IxxatV2HandsFramesToTheHandlerOnItsOwnThread)
{
    VendorLibrary lib(VendorPath("libvci11un6.so"));
    auto prepare = lib.Get<v2::VCI2_PrepareBoard_t>("VCI2_PrepareBoard");
    auto cancel = lib.Get<v2::VCI_CancelBoard_t>("VCI_CancelBoard");
    auto initCan = lib.Get<v2::VCI_InitCan_t>("VCI_InitCan");
    auto configQueue = lib.Get<v2::VCI_ConfigQueue_t>("VCI_ConfigQueue");
    auto assign = lib.Get<v2::VCI_AssignRxQueObj_t>("VCI_AssignRxQueObj");
    auto startCan = lib.Get<v2::VCI_StartCan_t>("VCI_StartCan");
    auto transmit = lib.Get<v2::VCI_TransmitObj_t>("VCI_TransmitObj");
    auto queueStatus = lib.Get<v2::VCI_ReadQueStatus_t>("VCI_ReadQueStatus");

    const int32_t board = prepare(0, 0, nullptr, 0, nullptr, OnReceive, nullptr);
    ASSERT_EQ(board, 0);
    ASSERT_EQ(initCan(0, 0, 0x00, 0x1C, v2::VCI_29B), v2::VCI_OK);
    uint16_t txQueue = 0, rxQueue = 0;
    ASSERT_EQ(configQueue(0, 0, v2::VCI_TX_QUE, 50, 0, 0, 0, &txQueue), v2::VCI_OK);
    ASSERT_EQ(configQueue(0, 0, v2::VCI_RX_QUE, 50, 1, 1, 1, &rxQueue), v2::VCI_OK);
    EXPECT_NE(txQueue, rxQueue);
    ASSERT_EQ(assign(0, rxQueue, v2::VCI_ACCEPT, 0xA0u << 9, 0x3FFC00), v2::VCI_OK);
    ASSERT_EQ(startCan(0, 0), v2::VCI_OK);

    uint8_t query[] = {0xA0, 0x00};
    ASSERT_EQ(transmit(0, txQueue, kOrvQueryId, 2, query), v2::VCI_OK);
    EXPECT_EQ(queueStatus(0, txQueue), 0);
    ASSERT_TRUE(WaitFor([] { return ReceivedCount() >= 1; }));
    {
        std::lock_guard lock(gReceived.mutex);
        ASSERT_EQ(gReceived.objects.size(), 1u);
        EXPECT_EQ(gReceived.objects[0].first, rxQueue);
        // Copies: the record is packed, its fields are not aligned.
        const uint32_t id = gReceived.objects[0].second.id;
        const uint8_t lenRtr = gReceived.objects[0].second.len_rtr;
        EXPECT_EQ(id, kOrvAnswerId);
        EXPECT_EQ(lenRtr, 4);
        EXPECT_NE(gReceived.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvOtherHostId)), "OK"); // filtered out
    EXPECT_EQ(cancel(0), v2::VCI_OK);
    EXPECT_EQ(bus_.Control("inject ext " + std::to_string(kOrvAnswerId)), "OK");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ReceivedCount(), 1u) << "the handler ran for a filtered frame or after VCI_CancelBoard";
    EXPECT_TRUE(Contains(Lines(log_), "VCI2_PrepareBoard 0 0 null 0 null set null"));
    EXPECT_TRUE(Contains(Lines(log_), "VCI_AssignRxQueObj 0 2 1 0x14000 0x3FFC00"));
}

TEST(VendorLibraries, ExportEveryBoundNameAndTheVariantsLackExactlyOne)
{
    struct Expected {
        std::string file;
        std::span<const char *const> names;
        const char *missing;
    };
    const Expected all[] = {
        {"libpcanbasic.so", pb::kBoundNames, nullptr},
        {"libcanlib.so", kv::kBoundNames, nullptr},
        {"libntcan.so", nt::kBoundNames, nullptr},
        {"libusbcan32.so", uc::kBoundNames, nullptr},
        {"libvcinpl.so", v3::kBoundNames, nullptr},
        {"libvci11un6.so", v2::kBoundNames, nullptr},
        {"missing-canControlAddFilterIds/libvcinpl.so", v3::kBoundNames, "canControlAddFilterIds"},
        {"missing-canControlAddFilterIds/libvci11un6.so", v2::kBoundNames, nullptr},
        {"missing-UcanGetStatus/libusbcan32.so", uc::kBoundNames, "UcanGetStatus"},
        {"v2-only/libvci11un6.so", v2::kBoundNames, nullptr},
    };
    for (const Expected &expected : all) {
        VendorLibrary lib(VendorPath(expected.file));
        ASSERT_TRUE(lib.loaded()) << expected.file;
        EXPECT_EQ(std::string(pb::kLibraryFile), "libpcanbasic.so");
        for (const char *name : expected.names) {
            const bool wanted = !expected.missing || std::string(name) != expected.missing;
            EXPECT_EQ(lib.Symbol(name) != nullptr, wanted) << expected.file << " " << name;
        }
        EXPECT_EQ(lib.Symbol("_ZN4zsim7standin11MillisNowEv"), nullptr) << expected.file << " exports its helpers";
    }
    EXPECT_NE(access(VendorPath("v2-only/libvcinpl.so").c_str(), F_OK), 0);

    // esd and Kvaser both export canRead; each library keeps its own.
    VendorLibrary esd(VendorPath("libntcan.so"));
    VendorLibrary kvaser(VendorPath("libcanlib.so"));
    auto esdRead = esd.Get<nt::canRead_t>("canRead");
    auto kvaserRead = kvaser.Get<kv::canRead_t>("canRead");
    ASSERT_NE(reinterpret_cast<void *>(esdRead), reinterpret_cast<void *>(kvaserRead));
    int32_t count = 1;
    nt::CMSG message{};
    EXPECT_EQ(esdRead(77, &message, &count, nullptr), nt::NTCAN_INVALID_DRIVER);
    EXPECT_EQ(kvaserRead(77, nullptr, nullptr, nullptr, nullptr, nullptr), kv::canERR_INVHANDLE);
}

TEST_F(VendorTest, TwoProcessesOnTheBusHearEachOther)
{
    VendorLibrary kvaser(VendorPath("libcanlib.so"));
    auto initLibrary = kvaser.Get<kv::canInitializeLibrary_t>("canInitializeLibrary");
    auto open = kvaser.Get<kv::canOpenChannel_t>("canOpenChannel");
    auto busOn = kvaser.Get<kv::canBusOn_t>("canBusOn");
    auto busParams = kvaser.Get<kv::canSetBusParams_t>("canSetBusParams");
    auto write = kvaser.Get<kv::canWrite_t>("canWrite");
    auto read = kvaser.Get<kv::canRead_t>("canRead");
    initLibrary();
    const kv::canHandle h = open(0, 0x08);
    ASSERT_GE(h, 0);
    ASSERT_EQ(busParams(h, kv::canBITRATE_500K, 0, 0, 0, 0, 0), kv::canOK);
    ASSERT_EQ(busOn(h), kv::canOK);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another process on a PEAK adapter: sends 0x321, waits for the answer 0x322.
        VendorLibrary peak(VendorPath("libpcanbasic.so"));
        auto initialize = peak.Get<pb::CAN_Initialize_t>("CAN_Initialize");
        auto peakWrite = peak.Get<pb::CAN_Write_t>("CAN_Write");
        auto peakRead = peak.Get<pb::CAN_Read_t>("CAN_Read");
        if (!initialize || initialize(0x51, 0x001C, 0, 0, 0) != pb::kOk) _exit(2);
        pb::TPCANMsg msg{0x321, pb::kMessageStandard, 1, {0x5A}};
        if (peakWrite(0x51, &msg) != pb::kOk) _exit(3);
        const bool answered = WaitFor([&] { return peakRead(0x51, &msg, nullptr) == pb::kOk && msg.ID == 0x322; });
        _exit(answered ? 0 : 4);
    }
    long id = 0;
    uint8_t data[8] = {};
    unsigned int dlc = 0, flags = 0;
    const bool heard = WaitFor([&] { return read(h, &id, data, &dlc, &flags, nullptr) == kv::canOK && id == 0x321; });
    EXPECT_TRUE(heard);
    EXPECT_EQ(data[0], 0x5A);
    uint8_t answer[] = {0xA5};
    EXPECT_EQ(write(h, 0x322, answer, 1, kv::canMSG_STD), kv::canOK);
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 5s)) << "child did not end";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string clients = bus_.Control("clients");
    EXPECT_NE(clients.find(":canlib:500000:"), std::string::npos) << clients;
}

} // namespace
