// Inputs the fuzz targets (fuzz/) found mishandled, kept as regression tests next to the fixes.
#include <gtest/gtest.h>
#include <linux/can.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>

#include "core/errors.h"
#include "core/process_context.h"
#include "platform/can_socket.h"
#include "transport/ascii_can_link.h"
#include "transport/socketcan_link.h"

namespace {

using namespace zorcomm;

// The adapter's side of the line: the bytes it has sent, read in order.
class AdapterBytes : public AsciiCanPort {
public:
    explicit AdapterBytes(const std::string &text) : input_(text.begin(), text.end()) {}
    bool ReadBytes(std::span<uint8_t> bytes) override {
        for (uint8_t &byte : bytes) {
            if (input_.empty()) return SetError(Error::ReceiveTimeout);
            byte = static_cast<uint8_t>(input_.front());
            input_.pop_front();
        }
        return true;
    }
    bool WriteBytes(std::span<const uint8_t>) override { return true; }
    void DrainInput() override { input_.clear(); }

private:
    std::deque<char> input_;
};

// fuzz_ascii_can: three identifier digits reach 0xFFF and eight reach 0xFFFFFFFF. Such frames
// were taken as they came, and the bits above the frame kind's 11 or 29 were then ignored by the
// conversion into a drive message (a standard 0x821 passed for the 0x021 class).
TEST(FuzzFindings, AsciiFramesWithIdentifiersBeyondTheirKindAreRefusedWhole) {
    for (const char *text : {"t8000\r", "tFFF0\r", "T200000000\r", "TFFFFFFFF2A0FF\r"}) {
        Context().lastError = 0;
        AdapterBytes adapter(std::string(text) + "t1231AB\r");
        CanFrame frame{0x55, true, 1, {0x66}};
        EXPECT_FALSE(AsciiCanReadFrame(adapter, frame)) << text;
        EXPECT_EQ(Context().lastError, 0x2000006fu) << text;
        EXPECT_EQ(frame.id, 0x55u) << text;
        // The refused frame was read to its end: the next one is intact.
        ASSERT_TRUE(AsciiCanReadFrame(adapter, frame)) << text;
        EXPECT_EQ(frame.id, 0x123u);
        EXPECT_EQ(frame.dlc, 1);
        EXPECT_EQ(frame.bytes[0], 0xAB);
    }
    // The largest identifiers of each kind still pass.
    for (const char *text : {"t7FF0\r", "T1FFFFFFF0\r"}) {
        AdapterBytes adapter(text);
        CanFrame frame;
        EXPECT_TRUE(AsciiCanReadFrame(adapter, frame)) << text;
    }
}

// A record as a CAN socket hands it over.
std::array<uint8_t, platform::kCanSocketRecordSize> SocketRecord(canid_t id, uint8_t length) {
    can_frame frame{};
    frame.can_id = id;
    frame.len = length;
    for (uint8_t i = 0; i < CAN_MAX_DLEN; ++i) frame.data[i] = static_cast<uint8_t>(0xA0 + i);
    std::array<uint8_t, platform::kCanSocketRecordSize> record{};
    std::memcpy(record.data(), &frame, sizeof frame);
    return record;
}

// fuzz_socketcan_frame: a standard frame whose identifier had bits above its 11 was taken by its
// low bits (0x821 came through as the TorvaneCAN class 0x021 and became a message for the host),
// and a length byte above 8 was cut to 8. No bus carries either; both are now dropped.
TEST(FuzzFindings, SocketCanFramesBeyondTheirKindAreDropped) {
    const struct {
        canid_t id;
        uint8_t length;
    } dropped[] = {{0x821, 4}, {0x10214000 | 0x121, 2}, {0x1FFFFFFF, 0}, {0x121, 9}, {0x121, 255},
                   {CAN_EFF_FLAG | 0x01002020, 15}, {CAN_RTR_FLAG | 0x900, 0}};
    for (const auto &[id, length] : dropped) {
        platform::CanSocketFrame in;
        CanFrame frame;
        const bool taken = platform::DecodeCanSocketRecord(SocketRecord(id, length), in) &&
                           SocketCanDataFrame(in, frame);
        EXPECT_FALSE(taken) << std::hex << id << " length " << std::dec << int{length};
    }
    // The largest identifiers of each kind, at full length, still pass unchanged.
    for (const canid_t id : {canid_t{0x7FF}, CAN_EFF_FLAG | CAN_EFF_MASK}) {
        platform::CanSocketFrame in;
        CanFrame frame;
        ASSERT_TRUE(platform::DecodeCanSocketRecord(SocketRecord(id, 8), in)) << std::hex << id;
        ASSERT_TRUE(SocketCanDataFrame(in, frame)) << std::hex << id;
        EXPECT_EQ(frame.id, id & CAN_EFF_MASK);
        EXPECT_EQ(frame.extended, (id & CAN_EFF_FLAG) != 0);
        EXPECT_EQ(frame.dlc, 8);
        EXPECT_EQ(frame.bytes[7], 0xA7);
    }
    // The standard frame the finding was about does not pass for the class its low bits name,
    // while that class itself does.
    DriveMessage message{};
    platform::CanSocketFrame in;
    CanFrame frame;
    ASSERT_TRUE(platform::DecodeCanSocketRecord(SocketRecord(0x021, 4), in));
    ASSERT_TRUE(SocketCanDataFrame(in, frame));
    EXPECT_TRUE(CanFrameForHost(frame, CHANNEL_PROTOCOL_TORVANECAN, 0x0010, message));
    EXPECT_FALSE(platform::DecodeCanSocketRecord(SocketRecord(0x821, 4), in));
}

} // namespace
