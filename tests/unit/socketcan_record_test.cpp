// Records read from a CAN socket: what the SocketCAN link takes from them as a data frame, and
// what it takes as a report of the bus's state.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>

#include <array>
#include <cstring>
#include <vector>

#include "platform/can_socket.h"
#include "transport/socketcan_link.h"

namespace {

using namespace zorcomm;

std::vector<uint8_t> Record(canid_t id, uint8_t length, std::array<uint8_t, 8> data = {}) {
    can_frame frame{};
    frame.can_id = id;
    frame.len = length;
    std::memcpy(frame.data, data.data(), data.size());
    std::vector<uint8_t> record(sizeof frame);
    std::memcpy(record.data(), &frame, sizeof frame);
    return record;
}

TEST(SocketCanRecord, DataFramesKeepIdentifierKindLengthAndBytes) {
    platform::CanSocketFrame in;
    CanFrame frame;
    ASSERT_TRUE(platform::DecodeCanSocketRecord(Record(0x161, 6, {4, 0x18, 0, 3, 0x34, 0x12, 9, 9}), in));
    ASSERT_TRUE(SocketCanDataFrame(in, frame));
    EXPECT_EQ(frame.id, 0x161u);
    EXPECT_FALSE(frame.extended);
    EXPECT_EQ(frame.dlc, 6);
    EXPECT_EQ(frame.bytes[5], 0x12);

    ASSERT_TRUE(platform::DecodeCanSocketRecord(Record(CAN_EFF_FLAG | 0x0D023404, 0), in));
    ASSERT_TRUE(SocketCanDataFrame(in, frame));
    EXPECT_EQ(frame.id, 0x0D023404u);
    EXPECT_TRUE(frame.extended);
    EXPECT_EQ(frame.dlc, 0);
}

TEST(SocketCanRecord, RemoteRequestsAndOtherSizesAreNoFrames) {
    platform::CanSocketFrame in;
    CanFrame frame;
    ASSERT_TRUE(platform::DecodeCanSocketRecord(Record(CAN_RTR_FLAG | 0x121, 2), in));
    EXPECT_TRUE(in.remote);
    EXPECT_FALSE(SocketCanDataFrame(in, frame));

    const std::vector<uint8_t> record = Record(0x121, 2);
    EXPECT_FALSE(platform::DecodeCanSocketRecord(std::span(record).first(15), in));
    std::vector<uint8_t> longer = record;
    longer.resize(CANFD_MTU);
    EXPECT_FALSE(platform::DecodeCanSocketRecord(longer, in));
}

// Error reports become the bus's state, never a message, whatever their identifier and length
// bytes hold.
TEST(SocketCanRecord, ErrorReportsAreStatusNeverFrames) {
    const struct {
        canid_t id;
        uint8_t state;
        uint32_t problems;
    } cases[] = {
        {CAN_ERR_BUSOFF, 0, platform::kCanBusOff},
        {CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING, platform::kCanErrorWarning},
        {CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE, platform::kCanErrorPassive},
        {CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW, platform::kCanOverflow},
        {CAN_ERR_CRTL, 0, platform::kCanOtherProblem},
        {CAN_ERR_ACK | CAN_ERR_PROT, 0, platform::kCanNoAcknowledge | platform::kCanProtocolViolation},
        {CAN_ERR_RESTARTED, 0, platform::kCanRestarted},
        {0, 0, platform::kCanOtherProblem},
    };
    for (const auto &[klass, state, problems] : cases) {
        for (const canid_t flags : {canid_t{0}, CAN_EFF_FLAG | CAN_RTR_FLAG}) {
            for (const uint8_t length : {uint8_t{CAN_ERR_DLC}, uint8_t{0}, uint8_t{200}}) {
                platform::CanSocketFrame in;
                CanFrame frame;
                ASSERT_TRUE(platform::DecodeCanSocketRecord(
                    Record(CAN_ERR_FLAG | flags | klass, length, {0, state, 0, 0, 0, 0, 0, 0}), in));
                EXPECT_EQ(in.problems, problems) << std::hex << klass;
                EXPECT_FALSE(SocketCanDataFrame(in, frame)) << std::hex << klass;
            }
        }
    }
}

} // namespace
