// The debug log: registration, levels, the line format and the traffic traces.
#include <gtest/gtest.h>
#include <zorcomm/zorcomm.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numeric>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace {

using zorcomm::Context;

std::vector<std::string> g_lines;

void ZORCOMM_CALL Capture(const char *line) { g_lines.emplace_back(line); }

bool IsClockTime(const std::string &line) {
    if (line.size() < 9 || line[2] != ':' || line[5] != ':' || line[8] != ' ') return false;
    auto number = [&](size_t at, int limit) {
        return std::isdigit(static_cast<unsigned char>(line[at])) &&
               std::isdigit(static_cast<unsigned char>(line[at + 1])) &&
               (line[at] - '0') * 10 + (line[at + 1] - '0') < limit;
    };
    return number(0, 24) && number(3, 60) && number(6, 60);
}

// A line without its "hh:mm:ss" prefix, after checking that prefix's shape.
std::string Body(const std::string &line) {
    EXPECT_TRUE(IsClockTime(line)) << line;
    return line.size() >= 8 ? line.substr(8) : line;
}

std::vector<uint8_t> Counting(size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

std::string HexText(const std::vector<uint8_t> &bytes) {
    std::string text;
    char part[4];
    for (uint8_t b : bytes) {
        std::snprintf(part, sizeof part, " %02X", b);
        text += part;
    }
    return text;
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        savedSlot_ = Context().currentSlot;
        Context().currentSlot = nullptr;
    }
    void TearDown() override {
        MSK_RegisterDebugLogHandler(0, nullptr);
        Context().currentSlot = savedSlot_;
        Context().lastError = 0;
        zorcomm::platform::SetSystemError(0);
        g_lines.clear();
    }

private:
    zorcomm::Slot *savedSlot_ = nullptr;
};

TEST_F(DebugLogTest, LineCarriesLocalTimeCaptionAndText) {
    MSK_RegisterDebugLogHandler(3, Capture);
    auto clock = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                      local.tm_sec);
        return std::string(text);
    };
    const std::string before = clock();
    zorcomm::Log(2, "MSK Warning", "Retrying <Send Message>");
    const std::string after = clock();

    ASSERT_EQ(g_lines.size(), 1u);
    const std::string &line = g_lines[0];
    EXPECT_EQ(Body(line), " MSK Warning : Retrying <Send Message>\n");
    const std::string stamp = line.substr(0, 8);
    EXPECT_TRUE(stamp == before || stamp == after) << stamp << " not " << before << "/" << after;
}

void ZORCOMM_CALL CaptureAndFail(const char *line) {
    g_lines.emplace_back(line);
    errno = EIO;
}

TEST_F(DebugLogTest, LoggingLeavesTheThreadsErrorCodeAlone) {
    MSK_RegisterDebugLogHandler(3, CaptureAndFail);
    zorcomm::platform::SetSystemError(ENOENT);
    zorcomm::LogInfo("Channel closed sucessfully");
    const uint32_t afterLog = zorcomm::platform::GetSystemError();
    // SetError logs first and then records its own code.
    zorcomm::SetError(zorcomm::Error::PortNotOpened);
    const uint32_t afterError = zorcomm::platform::GetSystemError();
    EXPECT_EQ(afterLog, static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(afterError, 0x20000077u);
    EXPECT_EQ(g_lines.size(), 2u);
}

TEST_F(DebugLogTest, LongLinesAreCutTo511Characters) {
    MSK_RegisterDebugLogHandler(1, Capture);
    const std::string text(600, 'a');
    zorcomm::Log(1, "MSK Error", text.c_str());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].size(), 511u);
    EXPECT_EQ(Body(g_lines[0]), " MSK Error : " + std::string(511 - 8 - 13, 'a'));
}

TEST_F(DebugLogTest, ErrorLinesKeepTheTextsOwnLineBreak) {
    MSK_RegisterDebugLogHandler(1, Capture);
    EXPECT_FALSE(zorcomm::SetError(zorcomm::Error::InvalidParameter));
    zorcomm::SetError(999);
    zorcomm::SetError(ENOENT);
    zorcomm::SetError(0);
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(Body(g_lines[0]), " MSK Error : Invalid parameter.\r\n\n");
    EXPECT_TRUE(g_lines[0].ends_with("\r\n\n"));
    EXPECT_EQ(Body(g_lines[1]), " MSK Error : Error code 0x3E7\n");
    EXPECT_EQ(Body(g_lines[2]), std::string(" MSK Error : ") + std::strerror(ENOENT) + "\n");
}

TEST_F(DebugLogTest, LevelsSelectWhatIsShown) {
    const auto bytes = Counting(4);
    auto produceAll = [&] {
        zorcomm::SetError(zorcomm::Error::SendTimeout);
        zorcomm::LogInfo("Channel opened sucessfully");
        zorcomm::Log(2, "MSK Warning", "Retrying <Verify CheckSum>");
        zorcomm::Trace(2, "Bytes Read (INCOMPLETE!!!)", bytes.data(), 4);
        zorcomm::Trace(3, "Bytes Write", bytes.data(), 4);
        zorcomm::TraceCan(3, "CAN Message Sent", 0x0A0400F1, bytes.data(), 4);
    };
    auto captions = [] {
        std::vector<std::string> result;
        for (const auto &line : g_lines) {
            const std::string body = Body(line);
            result.push_back(body.substr(1, body.find(" : ") - 1));
        }
        g_lines.clear();
        return result;
    };
    using Captions = std::vector<std::string>;

    MSK_RegisterDebugLogHandler(1, Capture);
    EXPECT_TRUE(zorcomm::LogEnabled(1));
    EXPECT_FALSE(zorcomm::LogEnabled(2));
    produceAll();
    EXPECT_EQ(captions(), Captions{"MSK Error"});

    MSK_RegisterDebugLogHandler(2, Capture);
    produceAll();
    EXPECT_EQ(captions(), (Captions{"MSK Error", "MSK Info", "MSK Warning",
                                    "Bytes Read (INCOMPLETE!!!)"}));

    MSK_RegisterDebugLogHandler(3, Capture);
    EXPECT_TRUE(zorcomm::LogEnabled(3));
    produceAll();
    EXPECT_EQ(captions(), (Captions{"MSK Error", "MSK Info", "MSK Warning",
                                    "Bytes Read (INCOMPLETE!!!)", "Bytes Write",
                                    "CAN Message Sent"}));
}

TEST_F(DebugLogTest, RegistrationSwitchesTheLogOnAndOff) {
    auto lineCount = [] {
        g_lines.clear();
        zorcomm::Log(1, "MSK Error", "x");
        zorcomm::SetError(zorcomm::Error::SendTimeout);
        return g_lines.size();
    };
    MSK_RegisterDebugLogHandler(3, Capture);
    EXPECT_EQ(lineCount(), 2u);

    MSK_RegisterDebugLogHandler(5, nullptr);
    EXPECT_EQ(Context().logLevel, 0);
    EXPECT_EQ(Context().logHandler, nullptr);
    EXPECT_FALSE(zorcomm::LogEnabled(1));
    EXPECT_EQ(lineCount(), 0u);

    MSK_RegisterDebugLogHandler(3, Capture);
    MSK_RegisterDebugLogHandler(0, Capture);
    EXPECT_EQ(Context().logHandler, nullptr);
    EXPECT_EQ(lineCount(), 0u);

    MSK_RegisterDebugLogHandler(-2, Capture);
    EXPECT_EQ(lineCount(), 0u);

    MSK_RegisterDebugLogHandler(1, Capture);
    EXPECT_EQ(lineCount(), 2u);
}

TEST_F(DebugLogTest, ByteTracesUpTo42Bytes) {
    MSK_RegisterDebugLogHandler(3, Capture);
    const auto bytes = Counting(43);
    zorcomm::Trace(3, "Bytes Read", bytes.data(), 42);
    zorcomm::Trace(3, "Bytes Read", bytes.data(), 43);
    zorcomm::Trace(3, "Bytes Write", bytes.data(), 0);
    const uint8_t high[] = {0xAB, 0xFF, 0x0F};
    zorcomm::Trace(3, "Bytes Write (TCP)", high, 3);

    ASSERT_EQ(g_lines.size(), 4u);
    const std::vector<uint8_t> first42(bytes.begin(), bytes.begin() + 42);
    EXPECT_EQ(Body(g_lines[0]), " Bytes Read : " + HexText(first42) + "\n");
    EXPECT_EQ(Body(g_lines[1]), " DRV_OutputDebugTraffic : Buffer too big\n");
    EXPECT_EQ(Body(g_lines[2]), " Bytes Write : \n");
    EXPECT_EQ(Body(g_lines[3]), " Bytes Write (TCP) :  AB FF 0F\n");
}

TEST_F(DebugLogTest, TooLongTraceIsReportedOnlyAtItsOwnLevel) {
    // The trace itself is not shown at level 1, so nothing at all is reported.
    MSK_RegisterDebugLogHandler(1, Capture);
    const auto bytes = Counting(43);
    zorcomm::Trace(3, "Bytes Read", bytes.data(), 43);
    EXPECT_TRUE(g_lines.empty());
    // An incomplete-transfer trace (level 2) that is too long reports at level 1.
    MSK_RegisterDebugLogHandler(2, Capture);
    zorcomm::Trace(2, "Bytes Read (INCOMPLETE!!!)", bytes.data(), 43);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(Body(g_lines[0]), " DRV_OutputDebugTraffic : Buffer too big\n");
}

TEST_F(DebugLogTest, CanTracesShowTheIdentifierAsTheProtocolHasIt) {
    MSK_RegisterDebugLogHandler(3, Capture);
    const uint8_t data[] = {0x02, 0x00, 0x11, 0x12};
    const auto bytes = Counting(17);

    // No selected slot counts as the 29-bit protocol.
    zorcomm::TraceCan(3, "CAN Message Sent", 0x0A0400F1, data, 4);
    zorcomm::TraceCan(3, "CAN Message Received", 0xFFFFFFFF, bytes.data(), 8);
    zorcomm::TraceCan(3, "CAN Message Received", 0x1, bytes.data(), 16);
    zorcomm::TraceCan(3, "CAN Message Received", 0x1, bytes.data(), 17);

    zorcomm::Slot slot{};
    slot.protocolFlag = CHANNEL_PROTOCOL_TORVANECAN;
    Context().currentSlot = &slot;
    zorcomm::TraceCan(3, "CAN Message Received", 0x12345, nullptr, 0);
    zorcomm::TraceCan(3, "CAN Message Sent", 0x7, data, 2);
    zorcomm::TraceCan(3, "CAN Message Sent", 0xFFFFF, nullptr, 0);
    slot.protocolFlag = CHANNEL_PROTOCOL_ORV;
    zorcomm::TraceCan(3, "CAN Message Sent", 0x12345, nullptr, 0);

    ASSERT_EQ(g_lines.size(), 8u);
    EXPECT_EQ(Body(g_lines[0]), " CAN Message Sent :  0A0400F1 02 00 11 12\n");
    EXPECT_EQ(Body(g_lines[1]),
              " CAN Message Received :  1FFFFFFF" +
                  HexText({bytes.begin(), bytes.begin() + 8}) + "\n");
    EXPECT_EQ(Body(g_lines[2]),
              " CAN Message Received :  00000001" +
                  HexText({bytes.begin(), bytes.begin() + 16}) + "\n");
    EXPECT_EQ(Body(g_lines[3]), " DRV_OutputDebugTraffic : Buffer too big\n");
    EXPECT_EQ(Body(g_lines[4]), " CAN Message Received :  345\n");
    EXPECT_EQ(Body(g_lines[5]), " CAN Message Sent :  007 02 00\n");
    EXPECT_EQ(Body(g_lines[6]), " CAN Message Sent :  7FF\n");
    EXPECT_EQ(Body(g_lines[7]), " CAN Message Sent :  00012345\n");
}

} // namespace
