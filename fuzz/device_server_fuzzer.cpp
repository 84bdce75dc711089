// What the serial-to-Ethernet device server sends back: answers to its configuration commands,
// datagrams of drive traffic, and on the TCP connection the status bytes of block writes and the
// words of block reads. The channel (CHANNEL_XPORT_TCP or CHANNEL_UDP) is opened against a socket
// library that answers properly; from then on every datagram, TCP byte and send result comes from
// the input (see SocketScript for its form). The first byte chooses the channel type and what
// the library does.
#include <vector>

#include "core/errors.h"
#include "core/process_context.h"
#include "fuzz_support.h"
#include "protocol/block_transfer.h"
#include "protocol/engine.h"
#include "transport/datagram_link.h"
#include "transport/device_server.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;
using zfuzz::Script;

bool SocketErrorCode(uint32_t code) {
    return (code >= kFirstWinSockError && code <= kLastWinSockError) || code == kUnknownWinSockError;
}

void ZORCOMM_CALL Unsolicited(DriveMessage *message) { ZFUZZ_CHECK(message->length <= 4); }

void Command(Input &input, DatagramLink &link) {
    const auto command = static_cast<ServerCommand>(input.Byte());
    const auto bytes = input.Bytes(input.Byte() % 8);
    const std::vector<uint8_t> data(bytes.begin(), bytes.end());
    Script().answerDelivered = false;
    Context().lastError = 0;
    const bool answered = SendDeviceServerCommand(command, link.server().datagramSocket(),
                                                  link.server().area().peerAddress, data);
    // Only one byte, command + 1, from the configuration port counts as the answer.
    ZFUZZ_CHECK(answered == Script().answerDelivered);
    if (!answered) ZFUZZ_CHECK(SocketErrorCode(Context().lastError));
}

void Datagrams(Input &input, DatagramLink &link) {
    for (int round = 0; round < 256 && !input.empty(); ++round) {
        const uint8_t what = input.Byte();
        if (what < 0x40) {
            std::vector<uint8_t> bytes(what % 0x22 + 1);
            if (!link.ReadBytes(bytes)) ZFUZZ_CHECK(SocketErrorCode(Context().lastError));
        } else if (what < 0x80) {
            DriveMessage message{};
            bool acknowledge = false;
            const int result = ReceiveDriveMessage(&message, &acknowledge);
            ZFUZZ_CHECK(result >= -1 && result <= 1);
            if (result == 1 && !acknowledge) ZFUZZ_CHECK(message.length <= 4);
        } else if (what < 0xC0) {
            ZFUZZ_CHECK(link.BytesInQueue() >= -1);
        } else if (what < 0xE0) {
            const DriveMessage message{static_cast<uint16_t>(what % 5), input.Word(), input.Word(),
                                       {input.Word(), input.Word(), input.Word(), input.Word()}};
            const int result = SendDriveMessage(&message);
            ZFUZZ_CHECK(result >= -1 && result <= 1);
        } else {
            link.DrainInput();
        }
    }
}

bool FastPath(const Slot &slot, DatagramLink &link) {
    return slot.channelType == CHANNEL_XPORT_TCP && link.server().TcpConnected();
}

void BlockWrite(Input &input, const Slot &slot, DatagramLink &link) {
    const uint16_t count = input.Byte() % 40;
    const uint8_t memory = input.Byte() % 4;
    const uint16_t address = input.Word();
    std::vector<uint16_t> words(count);
    for (uint16_t &word : words) word = input.Word();
    const bool fast = FastPath(slot, link) && !(memory == MEMORY_DATA && count <= 4);
    Script().received.clear();
    const bool written = SendDataBlock(words, address, memory, {});
    if (written && fast) {
        // Done only after a status byte for every step, the last one saying so.
        const std::vector<uint8_t> &statuses = Script().received;
        ZFUZZ_CHECK(statuses.size() == BlockCut(count).steps);
        for (size_t i = 0; i + 1 < statuses.size(); ++i) ZFUZZ_CHECK(statuses[i] <= 1);
        ZFUZZ_CHECK(statuses.back() == 1);
    }
}

void BlockRead(Input &input, const Slot &slot, DatagramLink &link) {
    const uint16_t count = input.Byte() % 40;
    const uint8_t memory = input.Byte() % 4;
    const uint16_t address = input.Word();
    std::vector<uint16_t> words(count, 0xA5A5);
    const bool fast = FastPath(slot, link) && count > 4;
    Script().received.clear();
    const bool read = ReceiveDataBlock(words, address, memory, {});
    if (read && fast) {
        // The words are the bytes of the connection, low byte first, nothing more or less.
        const std::vector<uint8_t> &bytes = Script().received;
        ZFUZZ_CHECK(bytes.size() == 2u * count);
        for (size_t i = 0; i < count; ++i)
            ZFUZZ_CHECK(words[i] == (bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfuzz::AttachProcess();
    zfuzz::FakeSocketLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input input(data, size);
    Script().input = &input;
    Script().automatic = true;
    const uint8_t mode = input.Byte();
    const uint8_t type = (mode & 0x10) ? CHANNEL_UDP : CHANNEL_XPORT_TCP;

    Slot &slot = zfuzz::EmptySlot();
    auto owned = std::make_unique<DatagramLink>(slot, type, WinSockReference::Take());
    DatagramLink &link = *owned;
    if (!link.Open(0x0100007F, kDefaultDataPort)) std::abort(); // every answer is right here
    zfuzz::InstallChannel(type, std::move(owned));
    slot.protocolFlag = (mode & 0x20) ? CHANNEL_PROTOCOL_TORVANECAN : CHANNEL_PROTOCOL_ORV;
    slot.hostAddress = 0x0010;
    slot.activeAddress = static_cast<uint16_t>((mode & 0x40) ? 0x0010 : 0x0020);
    slot.replyTimeout = 0;
    Context().unsolicitedHandler = (mode & 0x80) ? Unsolicited : nullptr;

    Script().automatic = false;
    switch (mode % 4) {
    case 0: Command(input, link); break;
    case 1: Datagrams(input, link); break;
    case 2: BlockWrite(input, slot, link); break;
    default: BlockRead(input, slot, link); break;
    }

    Script().automatic = true;
    Context().unsolicitedHandler = nullptr;
    zfuzz::ReleaseChannel();
    Script().input = nullptr;
    return 0;
}
