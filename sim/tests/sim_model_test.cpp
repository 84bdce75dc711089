// The drive network behind a serial link, driven byte by byte with an explicit clock.
#include "drive_model.h"
#include "serial_codec.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <vector>

namespace zsim {
namespace {

using Bytes = std::vector<uint8_t>;

// What the PC side got back: acknowledges, carriage returns and complete frames, in order.
struct Heard {
    int acks = 0;
    int syncAnswers = 0;
    int other = 0;
    std::vector<Message> frames;
};

Heard Decode(const Bytes &bytes)
{
    Heard heard;
    FrameParser parser;
    for (uint8_t byte : bytes) {
        if (!parser.InFrame() && byte == kAcknowledge) {
            ++heard.acks;
            continue;
        }
        if (!parser.InFrame() && byte == kSyncAnswer) {
            ++heard.syncAnswers;
            continue;
        }
        switch (parser.Feed(byte)) {
        case FrameParser::Event::Frame: heard.frames.push_back(parser.message()); break;
        case FrameParser::Event::None: break;
        default: ++heard.other; break;
        }
    }
    if (parser.InFrame()) ++heard.other;
    return heard;
}

NetworkConfig Chain(std::vector<DriveSetup> drives)
{
    NetworkConfig config;
    config.drives = std::move(drives);
    return config;
}

struct Rig {
    explicit Rig(NetworkConfig config, LinkOptions options = {}) : network(std::move(config)), link(network, options) {}

    // Writes a message at `rate` and collects everything due by then.
    Heard Send(const Message &message, uint32_t rate = 9600) { return Write(BuildFrame(message), rate); }
    Heard Write(const Bytes &bytes, uint32_t rate = 9600)
    {
        link.Receive(bytes, rate, now);
        return Decode(link.TakeDue(now, rate));
    }
    Heard Wait(Nanos time, uint32_t rate = 9600)
    {
        now += time;
        return Decode(link.TakeDue(now, rate));
    }

    DriveNetwork network;
    SerialLink link;
    Nanos now = kNanosPerSecond;
};

Message Msg(uint16_t address, uint16_t opCode, std::initializer_list<uint16_t> words = {})
{
    return Message::Make(address, opCode, std::vector<uint16_t>(words));
}

TEST(SimModel, BoardInformationAndHostDetectionOnAChain)
{
    Rig rig(Chain({{3, "S1025", 9600, 0}, {5, "F120H", 9600, 0}}));
    rig.network.host().Poke(MemoryType::Program, 0, 0xBEEF);

    // The drive behind the host answers through it, to the reply-to address it was given.
    Heard heard = rig.Send(Msg(0x0050, 0xD801, {0x0031}));
    EXPECT_EQ(heard.acks, 1);
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0031, 0xD801, {0x3132, 0x3048}));
    EXPECT_EQ(rig.Send(Msg(0x0030, 0xD801, {0x0031})).frames.at(0), Msg(0x0031, 0xD801, {0x0125, 0x0000}));

    // Address 0 is the drive wired to the PC: it reads its program word 0 with its own address first.
    heard = rig.Send(Msg(0x0000, 0xB000, {0x0001, 0x0000}));
    EXPECT_EQ(heard.acks, 1);
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0001, 0xB404, {0x0030, 0x0000, 0xBEEF}));

    // Firmware without the detection acknowledges and stays quiet.
    rig.network.set_autodetect(false);
    heard = rig.Send(Msg(0x0000, 0xB000, {0x0001, 0x0000}));
    EXPECT_EQ(heard.acks, 1);
    EXPECT_TRUE(heard.frames.empty());

    // No drive with that axis anywhere: no acknowledge.
    heard = rig.Send(Msg(0x0090, 0xD801, {0x0031}));
    EXPECT_EQ(heard.acks, 0);
    EXPECT_TRUE(heard.frames.empty());
}

TEST(SimModel, BlockWritesThroughTheDownloadPointerAndReadsBack)
{
    Rig rig(Chain({{1, "F120H", 9600, 0}}));
    Drive &drive = rig.network.host();
    // Set the pointer, then two words through it into program memory, then one into SPI memory.
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x9004, {0x032B, 0x0800})).acks, 1);
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x9021, {0x032B, 0x1111, 0x2222})).acks, 1);
    EXPECT_EQ(drive.Peek(MemoryType::Program, 0x0800), 0x1111);
    EXPECT_EQ(drive.Peek(MemoryType::Program, 0x0801), 0x2222);
    EXPECT_EQ(drive.Peek(MemoryType::Data, 0x032B), 0x0802);
    rig.Send(Msg(0x0010, 0x9004, {0x032B, 0x3000}));
    rig.Send(Msg(0x0010, 0x9028, {0x032B, 0x5555}));
    EXPECT_EQ(drive.Peek(MemoryType::Spi, 0x3000), 0x5555);
    EXPECT_EQ(drive.Peek(MemoryType::Program, 0x3000), 0x0000);
    // The SPI download counter is the pointer word, readable like any data word.
    Heard heard = rig.Send(Msg(0x0010, 0xB004, {0x0011, 0x032B}));
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0011, 0xB404, {0x0010, 0x032B, 0x3001}));

    // Direct data-memory writes, then a two-word read of them.
    rig.Send(Msg(0x0010, 0x9005, {0x0100, 0xAAAA, 0xBBBB}));
    heard = rig.Send(Msg(0x0010, 0xB005, {0x0011, 0x0100}));
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0011, 0xB405, {0x0010, 0x0100, 0xAAAA, 0xBBBB}));

    // Checksums: same op back, one word, 16-bit wrapping sum over an inclusive range.
    heard = rig.Send(Msg(0x0010, 0xDA10, {0x0011, 0x0800, 0x0801}));
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0011, 0xDA10, {0x3333}));
    drive.Poke(MemoryType::Data, 0xFFFF, 0xFFFF);
    drive.Poke(MemoryType::Data, 0x0000, 0x0002);
    EXPECT_EQ(rig.Send(Msg(0x0010, 0xDA30, {0x0011, 0xFFFF, 0x0000})).frames.at(0), Msg(0x0011, 0xDA30, {0x0001}));
    EXPECT_EQ(rig.Send(Msg(0x0010, 0xDA50, {0x0011, 0x3000, 0x3000})).frames.at(0), Msg(0x0011, 0xDA50, {0x5555}));
}

TEST(SimModel, SetBaudRateIsAcknowledgedAtTheOldRateThenTheDriveMoves)
{
    Rig rig(Chain({{1, "F120H", 9600, 0}}));
    rig.link.Receive(BuildFrame(Msg(0x0010, 0x0820, {2})), 9600, rig.now);
    // The PC switches before it takes the acknowledge: the byte was sent at 9600 and is lost.
    EXPECT_EQ(rig.link.TakeDue(rig.now, 38400), Bytes{});
    EXPECT_EQ(rig.link.stats().txRateMismatch, 1u);
    EXPECT_EQ(rig.network.host().baud(), 38400u);

    // Bytes at the old rate mean nothing to the drive now.
    EXPECT_EQ(rig.Write({0xFF}, 9600).syncAnswers, 0);
    EXPECT_EQ(rig.Send(Msg(0x0010, 0xD801, {0x0011}), 9600).acks, 0);
    EXPECT_GE(rig.link.stats().rxRateMismatch, 8u);
    EXPECT_EQ(rig.Write({0xFF}, 38400).syncAnswers, 1);
    Heard heard = rig.Send(Msg(0x0010, 0x0820, {0}), 38400);
    EXPECT_EQ(heard.acks, 1);
    EXPECT_EQ(rig.network.host().baud(), 9600u);
    // An unknown rate code is acknowledged and changes nothing.
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x0820, {7})).acks, 1);
    EXPECT_EQ(rig.network.host().baud(), 9600u);
}

TEST(SimModel, ResetIsAcknowledgedThenSilentThenBackAt9600)
{
    NetworkConfig config = Chain({{1, "F120H", 57600, 0}});
    config.resetSilence = Milliseconds(50);
    Rig rig(config);
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x0402), 57600).acks, 1);
    EXPECT_EQ(rig.Write({0xFF}, 9600).syncAnswers, 0);
    EXPECT_EQ(rig.Write({0xFF}, 57600).syncAnswers, 0);
    rig.Wait(Milliseconds(50));
    EXPECT_EQ(rig.Write({0xFF}, 57600).syncAnswers, 0);
    EXPECT_EQ(rig.Write({0xFF}, 9600).syncAnswers, 1);
}

TEST(SimModel, Rs485GroupsAreNotAcknowledgedAndEachDriveAnswersForItself)
{
    NetworkConfig config;
    config.topology = Topology::Bus;
    config.drives = {{1, "F120H", 9600, 0}, {2, "S102", 9600, 3}, {4, "F120H", 19200, 3}};
    Rig rig(config);

    // Group 3 at 9600 reaches drive 2 only (drive 4 runs at another rate): nobody acknowledges.
    Heard heard = rig.Send(Msg(0x1030, 0x0820, {1}));
    EXPECT_EQ(heard.acks, 0);
    EXPECT_EQ(rig.network.Find(1)->baud(), 9600u);
    EXPECT_EQ(rig.network.Find(2)->baud(), 19200u);
    // Broadcast at 19200 now reaches both drives of that rate.
    EXPECT_EQ(rig.Send(Msg(0x1000, 0x0820, {0}), 19200).acks, 0);
    EXPECT_EQ(rig.network.Find(2)->baud(), 9600u);
    EXPECT_EQ(rig.network.Find(4)->baud(), 9600u);

    // One drive, one acknowledge; its answer goes to the reply-to address as given.
    heard = rig.Send(Msg(0x0020, 0xD801, {0x0070}));
    EXPECT_EQ(heard.acks, 1);
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0], Msg(0x0070, 0xD801, {0x0120, 0x0000}));
    // Group reads are answered by every member, still without an acknowledge.
    rig.network.Find(2)->Poke(MemoryType::Data, 5, 22);
    rig.network.Find(4)->Poke(MemoryType::Data, 5, 44);
    heard = rig.Send(Msg(0x1030, 0xB004, {0x0070, 0x0005}));
    EXPECT_EQ(heard.acks, 0);
    ASSERT_EQ(heard.frames.size(), 2u);
    EXPECT_EQ(heard.frames[0].data[2] + heard.frames[1].data[2], 66);
    // The bus carries one carriage return however many drives answer the sync byte; axis 0 is nobody.
    EXPECT_EQ(rig.Write({0xFF}).syncAnswers, 1);
    EXPECT_EQ(rig.Send(Msg(0x0000, 0xB000, {0x0001, 0x0000})).acks, 0);
}

TEST(SimModel, MessageFaults)
{
    Rig rig(Chain({{1, "F120H", 9600, 0}}));
    const Message write = Msg(0x0010, 0x9004, {0x0200, 0x0001});

    // Withheld acknowledge: executed all the same.
    rig.network.faults().withholdAcks = 1;
    EXPECT_EQ(rig.Send(write).acks, 0);
    EXPECT_EQ(rig.network.host().Peek(MemoryType::Data, 0x200), 1);
    EXPECT_EQ(rig.Send(write).acks, 1);

    // Withheld acknowledge of the second pointer write to program memory (either width);
    // other messages pass unharmed and are not counted.
    rig.network.faults().withholdAt = WithholdAt{1, 0x9020, 0xFFFE};
    rig.network.host().Poke(MemoryType::Data, 0x32B, 0x8000);
    const Message pointerWrite = Msg(0x0010, 0x9021, {0x032B, 0xA001, 0xA002});
    EXPECT_EQ(rig.Send(pointerWrite).acks, 1);
    EXPECT_EQ(rig.Send(write).acks, 1);
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x9020, {0x032B, 0xA003})).acks, 0);
    EXPECT_FALSE(rig.network.faults().withholdAt.has_value());
    EXPECT_EQ(rig.Send(pointerWrite).acks, 1);
    EXPECT_EQ(rig.network.host().Peek(MemoryType::Program, 0x8002), 0xA003);
    EXPECT_EQ(rig.network.host().Peek(MemoryType::Data, 0x32B), 0x8005);

    // Ignored frame: not executed either.
    rig.network.faults().ignoreFrames = 1;
    EXPECT_EQ(rig.Send(Msg(0x0010, 0x9004, {0x0200, 0x0002})).acks, 0);
    EXPECT_EQ(rig.network.host().Peek(MemoryType::Data, 0x200), 1);

    // Delay of the next answer only.
    rig.network.faults().delay = Milliseconds(30);
    rig.network.faults().delayCount = 1;
    EXPECT_EQ(rig.Send(write).acks, 0);
    EXPECT_EQ(rig.Wait(Milliseconds(29)).acks, 0);
    EXPECT_EQ(rig.Wait(Milliseconds(1)).acks, 1);
    EXPECT_EQ(rig.Send(write).acks, 1);

    // Silence: deaf to everything, sync bytes included, until it ends.
    rig.network.faults().silentUntil = rig.now + Milliseconds(10);
    EXPECT_EQ(rig.Write({0xFF}).syncAnswers, 0);
    EXPECT_FALSE(rig.link.SendUnsolicited(1, 0x1234, {}, rig.now));
    rig.Wait(Milliseconds(10));
    EXPECT_EQ(rig.Write({0xFF}).syncAnswers, 1);
    EXPECT_TRUE(rig.link.SendUnsolicited(1, 0x1234, {}, rig.now));
    EXPECT_EQ(Decode(rig.link.TakeDue(rig.now, 9600)).frames.at(0), Msg(0x0011, 0x1234));
}

TEST(SimModel, ByteFaults)
{
    Rig rig(Chain({{1, "F120H", 9600, 0}}));
    const Bytes frame = BuildFrame(Msg(0x0010, 0x1111));

    // A lost byte leaves the drive inside the frame; the next byte completes it wrongly.
    rig.Write({frame[0]});
    rig.link.faults().dropRx = 1;
    EXPECT_EQ(rig.Write({frame.begin() + 1, frame.end()}).acks, 0);
    EXPECT_EQ(rig.Write({0xFF}).syncAnswers, 0);
    EXPECT_EQ(rig.link.stats().badChecksum, 1u);
    EXPECT_EQ(rig.Write({0xFF}).syncAnswers, 1);

    // A corrupted byte on the way in spoils the checksum.
    rig.link.faults().corruptRxAt = rig.link.rx_position() + 3;
    EXPECT_EQ(rig.Write(frame).acks, 0);
    EXPECT_EQ(rig.Write(frame).acks, 1);

    // On the way out: the acknowledge inverted, then dropped, then replaced by noise.
    rig.link.faults().corruptTx = 1;
    rig.link.Receive(frame, 9600, rig.now);
    EXPECT_EQ(rig.link.TakeDue(rig.now, 9600), Bytes{static_cast<uint8_t>(~kAcknowledge)});
    rig.link.faults().dropTx = 1;
    EXPECT_EQ(rig.Write(frame).acks, 0);
    rig.link.faults().garbage = 1;
    rig.link.Receive(BuildFrame(Msg(0x0010, 0xD801, {0x0011})), 9600, rig.now);
    const Bytes noise = rig.link.TakeDue(rig.now, 9600);
    EXPECT_EQ(noise.size(), 1u + 10u); // the acknowledge became noise; the answer frame did not
    EXPECT_NE(noise[0], kAcknowledge);
    EXPECT_EQ(rig.link.stats().garbageAnswers, 1u);
}

TEST(SimModel, PacingAndFrameTimeout)
{
    LinkOptions options;
    options.pace = true;
    options.frameTimeout = Milliseconds(5);
    Rig rig(Chain({{1, "F120H", 9600, 0}}), options);

    // Six bytes in, one out: the acknowledge is through seven character times after the write.
    rig.link.Receive(BuildFrame(Msg(0x0010, 0x1111)), 9600, rig.now);
    ASSERT_TRUE(rig.link.NextDue());
    const Nanos sevenChars = BitTime(6 * 11, 9600) + BitTime(11, 9600);
    EXPECT_EQ(*rig.link.NextDue() - rig.now, sevenChars);
    EXPECT_EQ(rig.Wait(sevenChars - 1).acks, 0);
    EXPECT_EQ(rig.Wait(1).acks, 1);

    // Half a frame, then a pause longer than the frame time-out: the rest is not taken as a frame.
    const Bytes frame = BuildFrame(Msg(0x0010, 0x2222));
    rig.Write({frame.begin(), frame.begin() + 3});
    rig.Wait(Milliseconds(20));
    EXPECT_EQ(rig.Write({frame.begin() + 3, frame.end()}).acks, 0);
    rig.Wait(Milliseconds(20));
    EXPECT_EQ(rig.link.stats().partial, 1u);
    EXPECT_EQ(rig.Write(frame).acks, 0); // still no ack due: paced
    EXPECT_EQ(rig.Wait(Milliseconds(20)).acks, 1);
    EXPECT_EQ(rig.link.stats().split, 0u);
}

// A long run of characters ends where its bit count says, at any rate: no character time is
// rounded and added up (at 115200 baud one character is 95486.1 ns).
TEST(SimModel, PacedLineKeepsExactTime)
{
    LinkOptions options;
    options.pace = true;
    Rig rig(Chain({{1, "F120H", 115200, 0}}), options);
    Bytes stream(10'000, 0x01); // odd length bytes: no frame, no answer
    const Bytes frame = BuildFrame(Msg(0x0010, 0x1111));
    stream.insert(stream.end(), frame.begin(), frame.end());
    rig.link.Receive(stream, 115200, rig.now);
    ASSERT_TRUE(rig.link.NextDue());
    EXPECT_EQ(*rig.link.NextDue() - rig.now, 955'434'028 + 95'487); // 110066 bits, then 11
    EXPECT_EQ(BitTime(110'066, 115200), 955'434'028);
    EXPECT_EQ(BitTime(11, 115200), 95'487);

    // Bytes written while the line is still busy follow the run without a gap.
    rig.link.Receive(frame, 115200, rig.now + 1000);
    const Nanos second = rig.now + BitTime(110'066 + 66, 115200) + BitTime(11, 115200);
    EXPECT_EQ(rig.Wait(second - 1 - rig.now, 115200).acks, 1); // the first frame's
    EXPECT_EQ(rig.Wait(1, 115200).acks, 1);
    EXPECT_EQ(rig.link.stats().badLength, 10'000u);
}

} // namespace
} // namespace zsim
