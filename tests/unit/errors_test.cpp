// Error codes, their texts and MSK_GetLastError.
#include <gtest/gtest.h>
#include <zorcomm/zorcomm.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace {

using zorcomm::Context;
using zorcomm::SetError;
namespace platform = zorcomm::platform;

class ErrorsTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        MSK_RegisterDebugLogHandler(0, nullptr);
        Context().lastError = 0;
        platform::SetSystemError(0);
    }
    static std::string TextOf(uint32_t code) {
        SetError(code);
        return MSK_GetLastError();
    }
};

TEST_F(ErrorsTest, TableCoversEveryCodeWithLineBreaks) {
    const auto table = zorcomm::LibraryErrors();
    ASSERT_EQ(table.size(), 200u);
    for (size_t i = 0; i < table.size(); ++i) {
        const auto &entry = table[i];
        EXPECT_EQ(entry.code, 0x20000064u + i);
        EXPECT_EQ(zorcomm::LibraryErrorText(entry.code), entry.text);
        // Line breaks are CR LF pairs only, and the text ends with one.
        ASSERT_GE(entry.text.size(), 3u);
        EXPECT_TRUE(entry.text.ends_with("\r\n")) << std::hex << entry.code;
        for (size_t at = 0; at < entry.text.size(); ++at) {
            if (entry.text[at] == '\r') {
                EXPECT_EQ(entry.text[at + 1], '\n') << std::hex << entry.code;
            } else if (entry.text[at] == '\n') {
                EXPECT_EQ(entry.text[at - 1], '\r') << std::hex << entry.code;
            }
        }
    }
    EXPECT_TRUE(zorcomm::LibraryErrorText(0x20000063).empty());
    EXPECT_TRUE(zorcomm::LibraryErrorText(0x2000012c).empty());
    EXPECT_TRUE(zorcomm::LibraryErrorText(0).empty());
}

TEST_F(ErrorsTest, LibraryCodesGiveTheirTexts) {
    const std::pair<uint32_t, const char *> cases[] = {
        {0x20000064, "The selected interface does not support this baud rate.\r\n"},
        {0x20000068, "Cannot syncronize computer and drive baud rates.\r\n"},
        {0x20000077,
         "Serial communication port not opened. You must have a disponible COM port.\r\n"},
        {0x2000007b, "Invalid parameter.\r\n"},
        {0x2000007f,
         "In RS485 or CAN mode, the Axis ID of the drive must be different than that of\r\n"
         "the host PC (set in the Communication Setup).\r\n"
         "Also check that the \"Axis number\" of the active application matches the Axis ID\r\n"
         "of the drive you are trying to communicate to.\r\n"},
        {0x20000080,
         "The drive's firmware does not support Axis ID autodetection!\r\n"
         "If you want to use axis ID autodetection over a serial connection, please upgrade "
         "your firmware to a version Fxxxy where y is H or newer.\r\n"
         "Otherwise please specify the Axis ID of the connected drive/motor.\r\n"},
        {0x20000087, "IXXAT: Resource error!\r\n"
                     "The resorce limit exceeded at creation of a queue or something else\r\n"},
        {0x20000099, "SYS TEC USBCAN: No access to the CAN controler possible\r\n"},
        {0x200000a4, "PEAK SYS PCAN: Bus error: CAN_Controller went to 'bus off'\r\n"},
        {0x200000bc, "ESD CAN: Invalid driver\r\n"},
        {0x200000bf, "Kvaser USB: There has been at least one TX error..\r\n"},
        {0x200000f2, "WINSOCK: Host not found.\r\n"},
        {0x200000f4, "Cannot load virtual serial driver.\r\n"},
        {0x200000f8, "Out of memory: Failed to allocate memory!\r\n"
                     "Your system is low on resources. Try to close applications you don't "
                     "use.\r\n"},
        {0x200000ff, "LAWICEL USBCAN: Receive queue is full.\r\n"},
        {0x20000117, "IXXAT: The end-of-file marker has been reached\r\n"},
    };
    for (const auto &[code, text] : cases) EXPECT_EQ(TextOf(code), text) << std::hex << code;
}

TEST_F(ErrorsTest, CodesWithoutTextAreShownInHex) {
    EXPECT_EQ(TextOf(999), "Error code 0x3E7");
    EXPECT_EQ(TextOf(0xDEADBEEF), "Error code 0xDEADBEEF");
    EXPECT_EQ(TextOf(0x2000012c), "Error code 0x2000012C");
}

TEST_F(ErrorsTest, SystemCodesGiveThePlatformText) {
    EXPECT_EQ(TextOf(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(TextOf(EACCES), std::strerror(EACCES));
}

TEST_F(ErrorsTest, SetErrorRecordsTheCodeEverywhereAndFails) {
    // The thread's code is read right away: the test framework may touch it.
    bool result = SetError(zorcomm::Error::ReceiveTimeout);
    uint32_t systemError = platform::GetSystemError();
    EXPECT_FALSE(result);
    EXPECT_EQ(systemError, 0x20000076u);
    EXPECT_EQ(Context().lastError, 0x20000076u);

    result = SetError(0);
    systemError = platform::GetSystemError();
    const std::string text = MSK_GetLastError();
    EXPECT_FALSE(result);
    EXPECT_EQ(systemError, 0u);
    EXPECT_EQ(text, "");
    EXPECT_EQ(Context().lastError, 0u);
}

TEST_F(ErrorsTest, ReadingTheTextDoesNotClearTheError) {
    SetError(zorcomm::Error::InvalidParameter);
    const char *first = MSK_GetLastError();
    const std::string firstText = first;
    const char *second = MSK_GetLastError();
    EXPECT_EQ(first, second);
    EXPECT_EQ(firstText, "Invalid parameter.\r\n");
    EXPECT_STREQ(second, "Invalid parameter.\r\n");
    EXPECT_EQ(Context().lastError, 0x2000007bu);
}

TEST_F(ErrorsTest, FallsBackToTheThreadsSystemError) {
    // A call frame clears the last error but not the thread's code.
    platform::SetSystemError(ENOENT);
    EXPECT_EQ(std::string(MSK_GetLastError()), std::strerror(ENOENT));
    platform::SetSystemError(0x2000007c);
    EXPECT_STREQ(MSK_GetLastError(), "Incorrect data received.\r\n");

    // The last error wins over the thread's code.
    Context().lastError = 0x20000075;
    EXPECT_STREQ(MSK_GetLastError(), "Send timeout.\r\n");

    Context().lastError = 0;
    platform::SetSystemError(0);
    const std::string none = MSK_GetLastError();
    EXPECT_EQ(none, "");

    // Reading the text leaves the thread's code as it was.
    platform::SetSystemError(EACCES);
    MSK_GetLastError();
    const uint32_t after = platform::GetSystemError();
    EXPECT_EQ(after, static_cast<uint32_t>(EACCES));
}

TEST_F(ErrorsTest, TextsAreCutToTheBuffer) {
    // Canaries on both sides catch a write beyond the 1024 bytes.
    std::array<char, 1026> area;
    area.fill('#');
    const std::span<char> buffer(area.data() + 1, 1024);

    const std::string longText(2000, 'x');
    zorcomm::CopyCut(longText, buffer);
    EXPECT_EQ(std::strlen(buffer.data()), 1023u);
    EXPECT_EQ(area.front(), '#');
    EXPECT_EQ(area.back(), '#');

    const std::string exact(1023, 'y');
    zorcomm::CopyCut(exact, buffer);
    EXPECT_EQ(std::string(buffer.data()), exact);

    zorcomm::CopyCut(std::string(1024, 'z'), buffer);
    EXPECT_EQ(std::string(buffer.data()), std::string(1023, 'z'));

    zorcomm::CopyCut("short", buffer);
    EXPECT_STREQ(buffer.data(), "short");
    EXPECT_EQ(area.back(), '#');
}

} // namespace
