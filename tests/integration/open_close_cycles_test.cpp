// Opening and closing a channel of every type over and over: after each round the process holds
// no more descriptors, the shared region no more mutexes and the process no more adapter or
// driver libraries than before, and every round still talks to the drives. (Memory the rounds
// might leave behind is LeakSanitizer's part, in the asan preset.)
#include "can_fixture.h"
#include "fault_support.h"
#include "serial_fixture.h"

#include <dlfcn.h>

namespace {

using ztest::CanTest;
using ztest::Hold;
using ztest::Holdings;
using ztest::InProcessWithSearchPath;
using ztest::SimProcess;
using ztest::VendorDir;

constexpr int kRounds = 8;

// One round: open, a version query through the channel, close.
template <typename Exports>
bool Round(Exports &lib, const char *name, uint16_t host, uint8_t type, uint16_t active,
           std::string &error) {
    const int32_t handle = lib.MSK_OpenComm(name, host, 0, type);
    if (handle <= 0) {
        error = std::string("open: ") + lib.MSK_GetLastError();
        return false;
    }
    char version[8] = {};
    const bool talked = lib.MSK_SetActiveDrive(active) && lib.MSK_GetDriveVersion(version);
    if (!talked) error = std::string("version: ") + lib.MSK_GetLastError();
    return lib.MSK_CloseComm(handle) && talked;
}

// A first round settles what the library keeps for the life of the process; later rounds must
// not add to it.
template <typename Exports>
void Cycle(Exports &lib, const char *name, uint16_t host, uint8_t type, uint16_t active = 1) {
    SCOPED_TRACE(std::string(name) + " type " + std::to_string(type));
    std::string error;
    ASSERT_TRUE(Round(lib, name, host, type, active, error)) << error;
    const Holdings settled = Hold();
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(Round(lib, name, host, type, active, error)) << "round " << round << ": " << error;
        ASSERT_EQ(Hold(), settled) << "after round " << round;
    }
}

class SerialCyclesTest : public ztest::LibraryTest {
protected:
    SerialCyclesTest()
        : LibraryTest(std::string(ztest::kFastSettings) + "UDP_RECEIVE_TIMEOUT=200\n") {}
};

TEST_F(SerialCyclesTest, SerialDriverAndEthernetChannels) {
    {
        auto sim = StartSerialSim({"--axes", "1"});
        Cycle(lib, "COM7", 1, CHANNEL_RS232);
    }
    {
        auto sim = StartSerialSim({"--axes", "1,2", "--rs485"});
        Cycle(lib, "COM7", 1, CHANNEL_RS485, 2);
    }
    {
        setenv("ZORCOMM_SIM_OPTIONS", "--axes 1 --read-timeout 100", 1);
        Cycle(lib, ztest::SimDriver().c_str(), 0, CHANNEL_VIRTUAL_SERIAL);
        unsetenv("ZORCOMM_SIM_OPTIONS");
        // The driver's library is unloaded with its last channel.
        EXPECT_EQ(ztest::MappedModules("zorcomm-simdriver"), 0);
    }
    {
        // At the rate an open tries first.
        SimProcess sim({"xport", "--address", "127.0.0.145", "--axes", "1", "--baud", "115200"});
        ASSERT_EQ(sim.firstLine().rfind("XPORT 127.0.0.145:", 0), 0u) << sim.firstLine();
        Cycle(lib, "127.0.0.145", 1, CHANNEL_UDP);
        Cycle(lib, "127.0.0.145", 1, CHANNEL_XPORT_TCP);
    }
}

class CanCyclesTest : public CanTest {};

// How many loader references keep a library loaded: given back one by one until it is gone.
// This unloads it, so it comes last in a test's own process.
int LoaderReferences(const std::string &path) {
    const std::string name = path.substr(path.rfind('/'));
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return 0;
    int given = 0;
    while (given < 1000 && ztest::MappedModules(name) > 0) {
        dlclose(handle);
        ++given;
    }
    return given - 1; // less the reference taken here
}

TEST_F(CanCyclesTest, EveryAdapterFamily) {
    if (!InProcessWithSearchPath(VendorDir())) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    const Holdings before = Hold();
    for (uint8_t type : {CHANNEL_IXXAT_CAN, CHANNEL_SYS_TEC_USBCAN, CHANNEL_PEAK_PCAN_PCI,
                         CHANNEL_ESD_CAN, CHANNEL_PEAK_PCAN_ISA, CHANNEL_PEAK_PCAN_USB,
                         CHANNEL_PEAK_PCAN_DONGLE, CHANNEL_KVASER_CAN})
        Cycle(lib, "1", 1, type, 2);

    auto adapter = std::make_unique<SimProcess>(std::vector<std::string>{"ascii-can"});
    ASSERT_EQ(adapter->firstLine().rfind("PTY ", 0), 0u) << adapter->firstLine();
    setenv("ZORCOMM_COM9", adapter->firstLine().substr(4).c_str(), 1);
    Cycle(lib, "COM9", 1, CHANNEL_LAWICEL_USBCAN, 2);
    adapter.reset();

    // Every vendor's library is unloaded with its last channel, but for Kvaser's, which stays
    // loaded on purpose: with one reference, however often it was loaded.
    const Holdings after = Hold();
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.mutexes, before.mutexes);
    EXPECT_EQ(ztest::MappedModules("/sim/vendor/"), 1);
    EXPECT_EQ(ztest::MappedModules("/sim/vendor/libcanlib.so"), 1);
    EXPECT_EQ(LoaderReferences(VendorDir() + "/libcanlib.so"), 1);
}

TEST_F(CanCyclesTest, IxxatVersion2WithItsReceiveThread) {
    if (!InProcessWithSearchPath(VendorDir("v2-only"))) return;
    auto bus = StartBus({"--axes", "2"});
    auto &lib = Start();
    const Holdings before = Hold();
    Cycle(lib, "1", 1, CHANNEL_IXXAT_CAN, 2);
    EXPECT_EQ(Hold(), before);
    EXPECT_EQ(ztest::MappedModules("/sim/vendor/"), 0);
}

} // namespace
