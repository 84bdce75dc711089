// The ASCII CAN adapter's text protocol against scripted answers: commands written, answers and
// refusals judged, frames read and written.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/process_context.h"
#include "transport/ascii_can_link.h"

namespace {

using namespace zorcomm;

constexpr uint8_t kOrv = CHANNEL_PROTOCOL_ORV;
constexpr uint8_t kTorvane = CHANNEL_PROTOCOL_TORVANECAN;

// An adapter that answers from a script: bytes waiting now, and answers that arrive with each
// later write. A drain discards what is waiting, as on a real port.
class ScriptedPort : public AsciiCanPort {
public:
    explicit ScriptedPort(std::string waiting = "", std::vector<std::string> answers = {})
        : input_(waiting.begin(), waiting.end()), answers_(answers.begin(), answers.end()) {}

    bool ReadBytes(std::span<uint8_t> bytes) override {
        for (uint8_t &byte : bytes) {
            if (input_.empty()) return SetError(Error::ReceiveTimeout);
            byte = static_cast<uint8_t>(input_.front());
            input_.pop_front();
        }
        return true;
    }
    bool WriteBytes(std::span<const uint8_t> bytes) override {
        writes.emplace_back(bytes.begin(), bytes.end());
        if (!answers_.empty()) {
            input_.insert(input_.end(), answers_.front().begin(), answers_.front().end());
            answers_.pop_front();
        }
        return true;
    }
    void DrainInput() override {
        ++drains;
        input_.clear();
    }
    size_t waiting() const { return input_.size(); }

    std::vector<std::string> writes;
    int drains = 0;

private:
    std::deque<char> input_;
    std::deque<std::string> answers_;
};

uint32_t LastError() { return Context().lastError; }

class AsciiCanTest : public ::testing::Test {
protected:
    void SetUp() override { Context().lastError = 0; }
};

TEST_F(AsciiCanTest, OnlyUpperCaseHexDigitsAreDigits) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    for (char other : {'a', 'f', 'G', 'z', ' ', '\r'}) EXPECT_EQ(HexDigitValue(other), 255) << other;
}

TEST_F(AsciiCanTest, AnswersToCommands) {
    ScriptedPort done("\r");
    EXPECT_TRUE(AsciiCanReadResponse(done, kOrv, kAsciiAfterCommand));

    // A refusal is followed by a status request; the flags inside the mask name the reason.
    ScriptedPort busError("\a", {"F80\r"});
    EXPECT_FALSE(AsciiCanReadResponse(busError, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x200000fbu);
    EXPECT_EQ(busError.writes, std::vector<std::string>{"F\r"});

    ScriptedPort arbitration("\a", {"F41\r"});
    EXPECT_FALSE(AsciiCanReadResponse(arbitration, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x200000fcu);

    // Transmit queue full lies outside the command mask: a general failure.
    ScriptedPort queueFull("\a", {"F02\r"});
    EXPECT_FALSE(AsciiCanReadResponse(queueFull, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x200000fau);

    ScriptedPort other("x");
    EXPECT_FALSE(AsciiCanReadResponse(other, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x2000006fu);

    ScriptedPort silent;
    EXPECT_FALSE(AsciiCanReadResponse(silent, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x20000076u);
}

TEST_F(AsciiCanTest, AnswersToTransmits) {
    ScriptedPort confirmed("z\r");
    EXPECT_TRUE(AsciiCanReadResponse(confirmed, kTorvane, kAsciiAfterTransmit));
    ScriptedPort extended("Z\r");
    EXPECT_TRUE(AsciiCanReadResponse(extended, kOrv, kAsciiAfterTransmit));

    ScriptedPort queueFull("z\a", {"F02\r"});
    EXPECT_FALSE(AsciiCanReadResponse(queueFull, kTorvane, kAsciiAfterTransmit));
    EXPECT_EQ(LastError(), 0x200000feu);

    // Receive queue full is not told apart even after a transmit.
    ScriptedPort receiveFull("Z\a", {"F01\r"});
    EXPECT_FALSE(AsciiCanReadResponse(receiveFull, kOrv, kAsciiAfterTransmit));
    EXPECT_EQ(LastError(), 0x200000fau);

    // The confirmation of the other frame kind is no confirmation; the byte is handed back.
    ScriptedPort wrongKind("z\r");
    uint8_t first = 0;
    EXPECT_FALSE(AsciiCanReadResponse(wrongKind, kOrv, kAsciiAfterTransmit, &first));
    EXPECT_EQ(LastError(), 0x2000006fu);
    EXPECT_EQ(first, 'z');
    EXPECT_EQ(wrongKind.waiting(), 1u);
}

TEST_F(AsciiCanTest, MalformedStatusAnswers) {
    ScriptedPort lowerCase("\a", {"Fa0\r"});
    EXPECT_FALSE(AsciiCanReadResponse(lowerCase, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x2000006fu);

    // An answer that is no status answer drains the port and fails without a code of its own.
    Context().lastError = 0;
    ScriptedPort notStatus("\a", {"G80\rtrailing"});
    EXPECT_FALSE(AsciiCanReadResponse(notStatus, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0u);
    EXPECT_EQ(notStatus.drains, 1);
    EXPECT_EQ(notStatus.waiting(), 0u);

    ScriptedPort unterminated("\a", {"F80x"});
    EXPECT_FALSE(AsciiCanReadResponse(unterminated, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(unterminated.drains, 1);

    ScriptedPort cut("\a", {"F8"});
    EXPECT_FALSE(AsciiCanReadResponse(cut, kOrv, kAsciiAfterCommand));
    EXPECT_EQ(LastError(), 0x20000076u);
    EXPECT_EQ(cut.drains, 1);
}

TEST_F(AsciiCanTest, ReadsFrames) {
    CanFrame frame;
    ScriptedPort standard("t1230\r");
    ASSERT_TRUE(AsciiCanReadFrame(standard, frame));
    EXPECT_FALSE(frame.extended);
    EXPECT_EQ(frame.id, 0x123u);
    EXPECT_EQ(frame.dlc, 0);

    ScriptedPort extended("T1FFFFFFF2A0FF\r");
    ASSERT_TRUE(AsciiCanReadFrame(extended, frame));
    EXPECT_TRUE(frame.extended);
    EXPECT_EQ(frame.id, 0x1FFFFFFFu);
    ASSERT_EQ(frame.dlc, 2);
    EXPECT_EQ(frame.bytes[0], 0xA0);
    EXPECT_EQ(frame.bytes[1], 0xFF);

    // The first character already read by the caller.
    ScriptedPort rest("7FF80102030405060708\r");
    ASSERT_TRUE(AsciiCanReadFrame(rest, frame, 't'));
    EXPECT_EQ(frame.id, 0x7FFu);
    EXPECT_EQ(frame.dlc, 8);
    EXPECT_EQ(frame.bytes[7], 0x08);
}

TEST_F(AsciiCanTest, RefusesMalformedFrames) {
    const CanFrame untouched{0x55, true, 1, {0x66}};
    for (const char *text : {"t1231a0\r", "t1239\r", "t12G0\r", "t1231A0x", "x1230\r",
                             "T1ffffff0\r", "t123"}) {
        Context().lastError = 0;
        CanFrame frame = untouched;
        ScriptedPort port(text);
        EXPECT_FALSE(AsciiCanReadFrame(port, frame)) << text;
        const uint32_t expected = std::string(text) == "t123" ? 0x20000076u : 0x2000006fu;
        EXPECT_EQ(LastError(), expected) << text;
        EXPECT_EQ(frame.id, untouched.id) << text;
    }
}

// A frame that makes no sense is dropped up to the end of its line, so the port does not stay
// out of step: the frame after it is read whole, and the error is the frame's own.
TEST_F(AsciiCanTest, AMalformedFrameIsDroppedToTheEndOfItsLine) {
    CanFrame frame;
    // A bad digit in the identifier; the tail of a frame whose head someone else read; a frame
    // read to its end before it was refused; a line that never ends.
    for (const char *text : {"t12G0\r", "31A0\r", "t1231a0\r", "Z\r"}) {
        ScriptedPort port(std::string(text) + "t1230\r");
        EXPECT_FALSE(AsciiCanReadFrame(port, frame)) << text;
        EXPECT_EQ(LastError(), 0x2000006fu) << text;
        Context().lastError = 0;
        ASSERT_TRUE(AsciiCanReadFrame(port, frame)) << text;
        EXPECT_EQ(frame.id, 0x123u) << text;
        EXPECT_EQ(port.waiting(), 0u) << text;
    }
    ScriptedPort endless("t12G0");
    EXPECT_FALSE(AsciiCanReadFrame(endless, frame));
    EXPECT_EQ(LastError(), 0x2000006fu);
    // A refusal ends its line: nothing after it is dropped.
    ScriptedPort refusal("\at1230\r");
    EXPECT_FALSE(AsciiCanReadFrame(refusal, frame));
    EXPECT_EQ(refusal.waiting(), 6u);
}

TEST_F(AsciiCanTest, WritesFrames) {
    ScriptedPort port;
    ASSERT_TRUE(AsciiCanWriteFrame(port, CanFrame{0x1FFFFFFF, true, 0, {}}));
    ASSERT_TRUE(AsciiCanWriteFrame(port, CanFrame{0x123, false, 3, {0x0A, 0xF0, 0x00}}));
    ASSERT_TRUE(AsciiCanWriteFrame(port, CanFrame{0x5, true, 8, {1, 2, 3, 4, 5, 6, 0xAB, 0xFF}}));
    EXPECT_EQ(port.writes,
              (std::vector<std::string>{"T1FFFFFFF0\r", "t1233" "0AF000\r", "T000000058" "0102030405" "06ABFF\r"}));

    ScriptedPort refused;
    EXPECT_FALSE(AsciiCanWriteFrame(refused, CanFrame{0x800, false, 0, {}}));
    EXPECT_EQ(LastError(), 0x2000007bu);
    EXPECT_FALSE(AsciiCanWriteFrame(refused, CanFrame{0x20000000, true, 0, {}}));
    EXPECT_FALSE(AsciiCanWriteFrame(refused, CanFrame{0x1, false, 9, {}}));
    EXPECT_TRUE(refused.writes.empty());
}

TEST_F(AsciiCanTest, SetupAndClose) {
    ScriptedPort port("", {"", "\r", "\r", "\r", "\r", "\r"});
    ASSERT_TRUE(AsciiCanSetup(port, 6));
    EXPECT_EQ(port.writes, (std::vector<std::string>{"\r\r\r\r\r\r\r\r\rC\r", "Z0\r", "S6\r",
                                                     "M00000000\r", "mFFFFFFFF\r", "O\r"}));
    EXPECT_EQ(port.writes[0].size(), 11u);
    EXPECT_EQ(port.drains, 1);

    // A refused step ends the set-up: the status is asked and nothing later is sent.
    ScriptedPort refusing("", {"", "\r", "\a", "F80\r"});
    EXPECT_FALSE(AsciiCanSetup(refusing, 8));
    EXPECT_EQ(LastError(), 0x200000fbu);
    EXPECT_EQ(refusing.writes, (std::vector<std::string>{"\r\r\r\r\r\r\r\r\rC\r", "Z0\r", "S8\r", "F\r"}));

    ScriptedPort closing("pending");
    EXPECT_TRUE(AsciiCanClose(closing));
    EXPECT_EQ(closing.writes, std::vector<std::string>{"C\r"});
    EXPECT_EQ(closing.drains, 1);
}

std::vector<DriveMessage> &Delivered() {
    static std::vector<DriveMessage> messages;
    return messages;
}

class AsciiCanSendTest : public AsciiCanTest {
protected:
    void SetUp() override {
        AsciiCanTest::SetUp();
        Delivered().clear();
        Context().unsolicitedHandler = [](DriveMessage *message) { Delivered().push_back(*message); };
    }
    void TearDown() override { Context().unsolicitedHandler = nullptr; }

    const CanFrame reset_{0x00806002, true, 0, {}};        // 0x0402 to axis 3
    const AsciiCanChannel channel_{kOrv, 0x0010, 1000};     // host axis 1
    // The board information of axis 3 for the host (PC bit set), words 0x3132 0x3048.
    const std::string answer_ = "T1B0022014" "32314830\r";
};

TEST_F(AsciiCanSendTest, ConfirmedAtOnce) {
    ScriptedPort port("", {"Z\r"});
    EXPECT_EQ(AsciiCanSend(port, channel_, reset_), 1);
    EXPECT_EQ(port.writes, std::vector<std::string>{"T008060020\r"});
    EXPECT_TRUE(Delivered().empty());
}

TEST_F(AsciiCanSendTest, FramesBeforeTheConfirmationGoToTheHandler) {
    // One frame for the host and one between drives (not for the host) arrive first.
    ScriptedPort port("", {answer_ + "T008060020\r" + "Z\r"});
    EXPECT_EQ(AsciiCanSend(port, channel_, reset_), 1);
    ASSERT_EQ(Delivered().size(), 1u);
    EXPECT_EQ(Delivered()[0].opCode, 0xD801);
    EXPECT_EQ(Delivered()[0].address, 0x0011);
    ASSERT_EQ(Delivered()[0].length, 2);
    EXPECT_EQ(Delivered()[0].data[0], 0x3132);
    EXPECT_EQ(Delivered()[0].data[1], 0x3048);
}

TEST_F(AsciiCanSendTest, FailuresAndTimeOut) {
    // Frames keep coming past the reply time-out: no confirmation.
    const AsciiCanChannel impatient{kOrv, 0x0010, 0};
    ScriptedPort busy("", {answer_ + "Z\r"});
    EXPECT_EQ(AsciiCanSend(busy, impatient, reset_), 0);
    EXPECT_EQ(LastError(), 0x20000075u);
    EXPECT_EQ(Delivered().size(), 1u);

    // A refused transmit: the bell is no confirmation and starts no frame.
    ScriptedPort refused("", {"\a"});
    EXPECT_EQ(AsciiCanSend(refused, channel_, reset_), -1);
    EXPECT_EQ(LastError(), 0x2000006fu);

    ScriptedPort silent;
    EXPECT_EQ(AsciiCanSend(silent, channel_, reset_), -1);
    EXPECT_EQ(LastError(), 0x20000076u);

    ScriptedPort unwritable;
    EXPECT_EQ(AsciiCanSend(unwritable, channel_, CanFrame{0x800, false, 0, {}}), -1);
    EXPECT_EQ(LastError(), 0x2000007bu);
    EXPECT_TRUE(unwritable.writes.empty());
}

} // namespace
