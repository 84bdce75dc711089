// The error texts of zorcomm.dll: its message-table resource, read with FormatMessageA, and what
// MSK_GetLastError and the debug log make of it.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "core/errors.h"
#include "fixture.h"

namespace {

using wtest::DllTest;
using wtest::LibraryText;

class MessagesTest : public DllTest {};

std::string Format(HMODULE module, DWORD flags, uint32_t code, WORD language) {
    char *text = nullptr;
    const DWORD length = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        module, code, language, reinterpret_cast<LPSTR>(&text),
                                        0, nullptr);
    std::string result = length > 0 && text ? std::string(text, length) : std::string();
    if (text) LocalFree(text);
    return result;
}

TEST_F(MessagesTest, TheModuleCarriesEveryTextInUtf16ForEnglishUnitedStates) {
    const auto module = static_cast<HMODULE>(copy_.module());
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    HRSRC found = FindResourceExA(module, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), english);
    ASSERT_NE(found, nullptr);
    const auto *table = static_cast<const MESSAGE_RESOURCE_DATA *>(
        LockResource(LoadResource(module, found)));
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->NumberOfBlocks, 1u);
    EXPECT_EQ(table->Blocks[0].LowId, 0x20000064u);
    EXPECT_EQ(table->Blocks[0].HighId, 0x2000012bu);
    // Every entry is stored as UTF-16 (flag 1).
    const auto *base = reinterpret_cast<const BYTE *>(table);
    const auto *entry =
        reinterpret_cast<const MESSAGE_RESOURCE_ENTRY *>(base + table->Blocks[0].OffsetToEntries);
    for (uint32_t id = 0x20000064; id <= 0x2000012b; ++id) {
        ASSERT_EQ(entry->Flags, 1) << std::hex << id;
        entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY *>(
            reinterpret_cast<const BYTE *>(entry) + entry->Length);
    }
    // The 200 texts byte for byte, CR LF included, as the library's table has them.
    int checked = 0;
    for (const auto &error : zorcomm::LibraryErrors()) {
        EXPECT_EQ(Format(module, FORMAT_MESSAGE_FROM_HMODULE, error.code, english),
                  std::string(error.text))
            << std::hex << error.code;
        ++checked;
    }
    EXPECT_EQ(checked, 200);
    EXPECT_EQ(Format(module, FORMAT_MESSAGE_FROM_HMODULE, 0x2000012c, english), "");
}

TEST_F(MessagesTest, LastErrorTextsComeFromTheModuleThenTheSystem) {
    // A library code: the module's text.
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    EXPECT_EQ(LastError(), LibraryText(0x20000077));
    EXPECT_EQ(LastError(), LibraryText(0x20000077)) << "asking again does not clear it";
    wtest::SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis)); // clears the library's last error
    // With no code of its own the library reports the thread's system error code.
    SetLastError(ERROR_ACCESS_DENIED);
    const std::string system = Format(nullptr, FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, 0);
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(LastError(), system);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "left as it was";
    // A code nobody has a text for.
    SetLastError(0x2FFF0123);
    EXPECT_EQ(LastError(), "Error code 0x2FFF0123");
    SetLastError(0);
    EXPECT_EQ(LastError(), "");
}

TEST_F(MessagesTest, ErrorsGoToTheDebugLogWithTheirTexts) {
    CollectLog(1);
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    ASSERT_EQ(Lines().size(), 1u);
    const std::string &line = Lines()[0];
    int hour = -1, minute = -1, second = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%2d:%2d:%2d ", &hour, &minute, &second), 3) << line;
    EXPECT_TRUE(hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 &&
                second < 60);
    EXPECT_EQ(line.substr(8), " MSK Error : " + LibraryText(0x20000077) + "\n");
    // Level 0 switches it off.
    lib.MSK_RegisterDebugLogHandler(0, &Collect);
    Lines().clear();
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    EXPECT_TRUE(Lines().empty());
}

} // namespace
