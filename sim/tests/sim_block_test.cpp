// The device server's block commands driven with an explicit clock: the cut into steps, the
// time unanswered tries and a paced serial side take.
#include "block_session.h"
#include "drive_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace zsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Command(uint8_t command, uint16_t address, uint16_t count, uint16_t timeoutMs, uint8_t tries = 3)
{
    return {command, tries, static_cast<uint8_t>(timeoutMs), static_cast<uint8_t>(timeoutMs >> 8), 1, 1,
            static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(count),
            static_cast<uint8_t>(count >> 8)};
}

TEST(SimBlock, StepsOfTheCutAndTheirTimes)
{
    DriveNetwork network(NetworkConfig{});
    BlockShared shared;
    BlockSession session(shared);
    SerialSide line;

    // No words: one step, status 1; the download pointer is set all the same.
    session.Receive(Command(0x20, 0x0400, 0, 40), Milliseconds(1), network, line);
    EXPECT_EQ(session.TakeDue(Milliseconds(1)), Bytes{0x01});
    EXPECT_EQ(network.host().Peek(MemoryType::Data, 0x032B), 0x0400);

    // A silent drive: three tries of 40 ms before status 2; the block's two data bytes are dropped
    // and the command behind them in the same stream is carried out.
    network.faults().silentUntil = Milliseconds(100);
    Bytes stream = Command(0x21, 0x0010, 1, 40);
    stream.insert(stream.end(), {0x34, 0x12});
    const Bytes next = Command(0x21, 0x0010, 1, 40);
    stream.insert(stream.end(), next.begin(), next.end());
    stream.insert(stream.end(), {0x78, 0x56});
    session.Receive(stream, Milliseconds(2), network, line);
    EXPECT_EQ(session.TakeDue(Milliseconds(122) - 1), Bytes{});
    // The second command's first try comes after the silence.
    EXPECT_EQ(session.TakeDue(Milliseconds(122)), (Bytes{0x02, 0x01}));
    EXPECT_EQ(network.host().Peek(MemoryType::Data, 0x0010), 0x5678);
    EXPECT_EQ(shared.stats.failures, 1u);

    // Paced at 9600 baud, 11 bits: a two-word data write is a 12-byte frame and the acknowledge.
    network.faults() = MessageFaults{};
    line.pace = true;
    stream = Command(0x21, 0x0020, 2, 100);
    stream.insert(stream.end(), {1, 0, 2, 0});
    session.Receive(stream, Milliseconds(3000), network, line);
    EXPECT_EQ(session.NextDue(), Milliseconds(3000) + BitTime(13 * 11, 9600));
    EXPECT_FALSE(session.closing());

    // A command that is neither read nor write ends the connection.
    session.Receive(Command(0x30, 0, 0, 0), Milliseconds(4000), network, line);
    EXPECT_TRUE(session.closing());
}

} // namespace
} // namespace zsim
