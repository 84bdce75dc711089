// The virtual serial driver shared object, loaded the way the library loads it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A private copy of the shared object per test, so each test gets a network of its own even
// when the tests run in one process.
class DriverLibrary {
public:
    explicit DriverLibrary(const char *source, const char *options = nullptr)
    {
        char name[] = "/tmp/zsim-driver-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = name;
        std::filesystem::copy_file(source, path_, std::filesystem::copy_options::overwrite_existing);
        if (options) setenv("ZORCOMM_SIM_OPTIONS", options, 1);
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        unsetenv("ZORCOMM_SIM_OPTIONS");
        EXPECT_NE(handle_, nullptr) << dlerror();
        if (!handle_) return;
        Bind(ReadData, "ReadData");
        Bind(WriteData, "WriteData");
        Bind(GetBytesCountInQueue, "GetBytesCountInQueue");
        Bind(PurgeQueues, "PurgeQueues");
        Bind(GetCommBaudRate, "GetCommBaudRate");
        Bind(SetCommBaudRate, "SetCommBaudRate");
        Bind(SimControl, "SimControl");
    }
    ~DriverLibrary()
    {
        if (handle_) dlclose(handle_);
        std::filesystem::remove(path_);
    }

    bool Has(const char *symbol) const { return handle_ && dlsym(handle_, symbol) != nullptr; }

    std::string Control(const std::string &line)
    {
        char reply[4096];
        SimControl(line.c_str(), reply, sizeof reply);
        return reply;
    }
    void Write(const Bytes &bytes)
    {
        uint32_t written = 0;
        ASSERT_EQ(WriteData(bytes.data(), static_cast<uint32_t>(bytes.size()), &written), 1);
        ASSERT_EQ(written, bytes.size());
    }
    Bytes Read(uint32_t count)
    {
        Bytes bytes(count);
        uint32_t got = 0;
        EXPECT_EQ(ReadData(bytes.data(), count, &got), 1);
        bytes.resize(got);
        return bytes;
    }

    uint8_t (*ReadData)(void *, uint32_t, uint32_t *) = nullptr;
    uint8_t (*WriteData)(const void *, uint32_t, uint32_t *) = nullptr;
    int32_t (*GetBytesCountInQueue)() = nullptr;
    void (*PurgeQueues)() = nullptr;
    uint32_t (*GetCommBaudRate)() = nullptr;
    uint8_t (*SetCommBaudRate)(uint32_t) = nullptr;
    uint8_t (*SimControl)(const char *, char *, uint32_t) = nullptr;

private:
    template <typename F> void Bind(F &function, const char *name)
    {
        function = reinterpret_cast<F>(dlsym(handle_, name));
    }

    std::string path_;
    void *handle_ = nullptr;
};

TEST(SimDriver, ExportsTheSixEntryPointsAndTheBrokenCopyLacksOne)
{
    DriverLibrary good(ZSIM_DRIVER);
    DriverLibrary broken(ZSIM_DRIVER_BROKEN);
    for (const char *name : {"ReadData", "WriteData", "GetBytesCountInQueue", "PurgeQueues", "GetCommBaudRate",
                             "SetCommBaudRate", "SimControl"}) {
        EXPECT_TRUE(good.Has(name)) << name;
        EXPECT_EQ(broken.Has(name), std::string(name) != "SetCommBaudRate") << name;
    }
    // Nothing of the simulator's inside leaks out as an export.
    EXPECT_FALSE(good.Has("_ZN4zsim10BuildFrameERKNS_7MessageE"));
}

TEST(SimDriver, AnswersSyncAndFramesFromTheEnvironmentsNetwork)
{
    DriverLibrary driver(ZSIM_DRIVER, "--axes 2,7 --version 7=S102 --read-timeout 500");
    EXPECT_EQ(driver.Control("status"), "OK");
    EXPECT_EQ(driver.Control("axes"), "OK 2 7");
    EXPECT_EQ(driver.GetCommBaudRate(), 9600u);

    driver.Write({0xFF});
    EXPECT_EQ(driver.GetBytesCountInQueue(), 1);
    EXPECT_EQ(driver.Read(1), Bytes{0x0D});

    // Board information of axis 7, answered to 0x0021 through the host drive 2.
    driver.Write({0x06, 0x00, 0x70, 0xD8, 0x01, 0x00, 0x21, 0x70});
    EXPECT_EQ(driver.Read(1), Bytes{0x4F});
    EXPECT_EQ(driver.Read(10), (Bytes{0x08, 0x00, 0x21, 0xD8, 0x01, 0x01, 0x20, 0x00, 0x00, 0x23}));
    EXPECT_EQ(driver.Control("history"), "OK 9600:0070:D801:0021");

    // Unsolicited messages go to the address the PC last asked to be answered at.
    EXPECT_EQ(driver.Control("unsolicited 7 0x4400 0x0102"), "OK");
    EXPECT_EQ(driver.Read(8), (Bytes{0x06, 0x00, 0x21, 0x44, 0x00, 0x01, 0x02, 0x6E}));
    EXPECT_EQ(driver.Control("unsolicited 9 0x4400"), "ERR drive 9 cannot send now");
}

TEST(SimDriver, ReadWaitsNoLongerThanItsTimeOutAndReportsTheShortCount)
{
    DriverLibrary driver(ZSIM_DRIVER);
    EXPECT_EQ(driver.Control("read-timeout 100"), "OK");
    auto start = Clock::now();
    EXPECT_EQ(driver.Read(4), Bytes{});
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(95));
    EXPECT_LT(waited, std::chrono::milliseconds(900));

    // A delayed acknowledge arrives within the wait, after the delay.
    EXPECT_EQ(driver.Control("fault delay 40 1"), "OK");
    driver.Write({0x04, 0x00, 0x10, 0x12, 0x34, 0x5A});
    EXPECT_EQ(driver.GetBytesCountInQueue(), 0);
    start = Clock::now();
    EXPECT_EQ(driver.Read(2), Bytes{0x4F}); // one byte came, the second never does
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));

    driver.Write({0xFF, 0xFF, 0xFF});
    EXPECT_EQ(driver.GetBytesCountInQueue(), 3);
    driver.PurgeQueues();
    EXPECT_EQ(driver.GetBytesCountInQueue(), 0);
}

TEST(SimDriver, ADriveAtAnotherRateHearsNothing)
{
    DriverLibrary driver(ZSIM_DRIVER, "--read-timeout 50");
    // Set baud rate 19200: acknowledged at 9600, then the drive is gone from 9600.
    driver.Write({0x06, 0x00, 0x10, 0x08, 0x20, 0x00, 0x01, 0x3F});
    EXPECT_EQ(driver.Read(1), Bytes{0x4F});
    driver.Write({0xFF});
    EXPECT_EQ(driver.Read(1), Bytes{});
    EXPECT_EQ(driver.SetCommBaudRate(14401), 0);
    EXPECT_EQ(driver.SetCommBaudRate(19200), 1);
    EXPECT_EQ(driver.GetCommBaudRate(), 19200u);
    driver.Write({0xFF});
    EXPECT_EQ(driver.Read(1), Bytes{0x0D});
    EXPECT_NE(driver.Control("stats").find("rx_rate_mismatch=1 "), std::string::npos);

    // The entry points' own faults.
    EXPECT_EQ(driver.Control("fault set-rate-fail"), "OK");
    EXPECT_EQ(driver.SetCommBaudRate(9600), 0);
    EXPECT_EQ(driver.SetCommBaudRate(9600), 1);
    EXPECT_EQ(driver.Control("fault read-fail 1"), "OK");
    uint32_t got = 99;
    uint8_t byte = 0;
    EXPECT_EQ(driver.ReadData(&byte, 1, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST(SimDriver, BadEnvironmentOptionsAreReportedAndConfigureStartsAfresh)
{
    DriverLibrary driver(ZSIM_DRIVER, "--axes 0,1");
    EXPECT_EQ(driver.Control("status").rfind("ERR ZORCOMM_SIM_OPTIONS: bad value for --axes", 0), 0u);
    EXPECT_EQ(driver.Control("axes"), "OK 1"); // the defaults stand in

    EXPECT_EQ(driver.Control("poke data 0x10 5"), "OK");
    EXPECT_EQ(driver.Control("configure --axes 3 --rs485 --fault write-fail=1"), "OK");
    EXPECT_EQ(driver.Control("peek 3 data 0x10"), "OK 0000");
    uint32_t written = 7;
    const uint8_t sync = 0xFF;
    EXPECT_EQ(driver.WriteData(&sync, 1, &written), 0);
    EXPECT_EQ(driver.Control("bogus"), "ERR unknown command 'bogus'");
    EXPECT_EQ(driver.SimControl("ping", nullptr, 0), 1);
    char tiny[3];
    EXPECT_EQ(driver.SimControl("axes", tiny, sizeof tiny), 1);
    EXPECT_STREQ(tiny, "OK");
}

} // namespace
