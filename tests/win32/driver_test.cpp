// The virtual serial driver (the simulated drives in a Windows DLL of their own, its entry points
// in the standard calling convention) and downloading the sample executable over a COM port.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <coff_writer.h>

#include <cstdlib>
#include <sstream>

#include "driver_paths.h"
#include "fixture.h"

namespace {

using wtest::DllTest;
using wtest::LibraryText;

// A path of the default preset's tree as the Windows side names it.
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

// "OK 0100 0101" -> the words.
std::vector<uint16_t> HexWords(const std::string &reply) {
    std::vector<uint16_t> words;
    const auto all = Words(reply);
    for (size_t i = 1; i < all.size(); ++i)
        words.push_back(static_cast<uint16_t>(std::strtoul(all[i].c_str(), nullptr, 16)));
    return words;
}

class VirtualDriverTest : public DllTest {
protected:
    using ControlEntry = uint8_t(__stdcall *)(const char *, char *, uint32_t);

    // Opens the driver with these simulator options (read when it is loaded), host detected; its
    // control entry taken from the copy the library loaded.
    // A case that stopped half-way leaves no driver loaded for the next.
    void TearDown() override {
        if (handle_ > 0) lib.MSK_CloseComm(handle_);
    }

    int32_t Open(const std::string &options) {
        _putenv_s("ZORCOMM_SIM_OPTIONS", options.c_str());
        const int32_t handle = lib.MSK_OpenComm(driver_.c_str(), 0, 0, CHANNEL_VIRTUAL_SERIAL);
        handle_ = handle;
        _putenv_s("ZORCOMM_SIM_OPTIONS", "");
        HMODULE module = GetModuleHandleA(driver_.c_str());
        control_ = module ? reinterpret_cast<ControlEntry>(
                                reinterpret_cast<void *>(GetProcAddress(module, "SimControl")))
                          : nullptr;
        return handle;
    }
    std::string Sim(const std::string &line) {
        if (!control_) return "ERR driver not loaded";
        char reply[8192] = {};
        control_(line.c_str(), reply, sizeof reply);
        return reply;
    }
    bool Loaded() const { return GetModuleHandleA(driver_.c_str()) != nullptr; }

    const std::string driver_ = WindowsPath(kSimDriver);
    ControlEntry control_ = nullptr;
    int32_t handle_ = -1;
};

TEST_F(VirtualDriverTest, TheDriverCarriesTheWholeExchange) {
    const int32_t handle = Open("--axes 3,4 --baud 57600 --version 3=F120H --read-timeout 200");
    ASSERT_GT(handle, 0) << LastError();
    ASSERT_NE(control_, nullptr);
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 3);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 57600u);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    // The rate change goes through the driver's SetCommBaudRate.
    ASSERT_TRUE(lib.MSK_SetBaudRate(115200)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 115200u);
    EXPECT_EQ(Sim("line"), "OK rate=115200");
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);

    DriveMessage message{1, 0x0030, 0x2345, {0x0011}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    bool found = false;
    for (const auto &frame : Words(Sim("history")))
        found |= frame.find(":0030:2345:0011") != std::string::npos;
    EXPECT_TRUE(found) << "the message reached the drives";

    uint16_t words[40];
    for (uint16_t i = 0; i < 40; ++i) words[i] = static_cast<uint16_t>(0x0200 + 3 * i);
    ASSERT_TRUE(lib.MSK_SendData(words, 0x9100, MEMORY_PROGRAM, 40)) << LastError();
    EXPECT_EQ(HexWords(Sim("peek program 0x9100 40")),
              std::vector<uint16_t>(std::begin(words), std::end(words)));
    ASSERT_EQ(Sim("poke data 0x0300 7 8 9"), "OK");
    uint16_t back[3] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x0300, MEMORY_DATA, 3)) << LastError();
    EXPECT_EQ(std::vector<uint16_t>(std::begin(back), std::end(back)),
              (std::vector<uint16_t>{7, 8, 9}));
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    handle_ = -1;
    EXPECT_FALSE(Loaded()) << "closing the channel unloads the driver";
}

TEST_F(VirtualDriverTest, FailuresOfTheDriverAndOfItsLoading) {
    const int32_t handle = Open("--axes 1 --read-timeout 100");
    ASSERT_GT(handle, 0) << LastError();
    // A refused write leaves the driver's own code, described by the driver's own texts.
    ASSERT_EQ(Sim("fault write-fail"), "OK");
    DriveMessage message{1, 0x0010, 0x2345, {0x0011}};
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), "The simulated driver refused to write.\r\n");
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    // The driver refuses the reads: nothing arrives, the call fails within its retries.
    ASSERT_EQ(Sim("fault read-fail 1000"), "OK");
    char version[8] = {};
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_NE(LastError(), "");
    ASSERT_EQ(Sim("fault clear"), "OK");
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    // A rate the driver refuses fails the call; the channel finds the drive again afterwards.
    ASSERT_EQ(Sim("fault set-rate-fail"), "OK");
    EXPECT_FALSE(lib.MSK_SetBaudRate(115200));
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_EQ(Sim("line"), "OK rate=" + std::to_string(lib.MSK_GetBaudRate()));
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    handle_ = -1;

    // A module without the entry points (the library itself) is refused and not kept loaded;
    // a file that is not there leaves the system's text.
    EXPECT_EQ(lib.MSK_OpenComm(copy_.path().c_str(), 0, 0, CHANNEL_VIRTUAL_SERIAL), -1);
    EXPECT_EQ(LastError(), LibraryText(0x200000f4));
    EXPECT_EQ(lib.MSK_OpenComm("C:\\nonexistent\\driver.dll", 0, 0, CHANNEL_VIRTUAL_SERIAL), -1);
    EXPECT_NE(LastError(), "");
    EXPECT_NE(LastError(), LibraryText(0x200000f4));
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    EXPECT_EQ(LastError(), LibraryText(0x20000077)) << "no channel was left open";
}

class CoffDownloadTest : public DllTest {
protected:
    static std::vector<std::string> &Steps() {
        static std::vector<std::string> steps;
        return steps;
    }
    static uint8_t __stdcall Progress(int32_t kind, const char *text, float, uint32_t userValue) {
        if (kind == 3 && userValue == 9) Steps().emplace_back(text ? text : "<null>");
        return 1;
    }
};

TEST_F(CoffDownloadTest, TheSampleArrivesOverTheComPort) {
    wtest::SerialSim sim({"--axes", "1", "--baud", "115200"});
    ASSERT_TRUE(sim.started());
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    Steps().clear();
    uint16_t entry = 0, start = 0, end = 0;
    ASSERT_TRUE(lib.MSK_COFFDownload(WindowsPath(kSampleExecutable).c_str(), &entry, &start, &end,
                                     &Progress, 9, 0x5000))
        << LastError();
    EXPECT_EQ(entry, 0x8000);
    EXPECT_EQ(start, 0x0800);
    EXPECT_EQ(end, 0x8424);
    EXPECT_EQ(HexWords(sim.Control("peek program 0x8000 700")), coffwriter::PatternWords(700, 1));
    EXPECT_EQ(HexWords(sim.Control("peek program 0x8400 37")), coffwriter::PatternWords(37, 2));
    EXPECT_EQ(HexWords(sim.Control("peek program 0x0800 32")), coffwriter::PatternWords(32, 3));
    EXPECT_EQ(HexWords(sim.Control("peek spi 0x3000 300")), coffwriter::PatternWords(300, 4));
    ASSERT_GE(Steps().size(), 3u);
    EXPECT_EQ(Steps()[0], "Section[1/6] .text, 700 words");
    EXPECT_EQ(Steps()[2], "Section[1/6] .text OK.");
    // A file that is not there fails before anything is sent.
    EXPECT_FALSE(lib.MSK_COFFDownload("C:\\nonexistent\\sample.out", &entry, nullptr, nullptr,
                                      nullptr, 0, 0x5000));
    EXPECT_NE(LastError(), "");
}

} // namespace
