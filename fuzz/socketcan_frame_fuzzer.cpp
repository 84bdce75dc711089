// What arrives from a CAN socket: records as the system hands them over (identifier with the
// extended, remote and error flags, a length byte of any value, data), through the decoding of
// the socket, the data frame the SocketCAN link takes from it, and the conversion into a message
// for the host. The input is cut into records of 19 bytes: protocol and kind (1), host address
// (2) and the socket's record (16: identifier in the machine's byte order, length, three bytes
// of padding, eight of data).
#include <algorithm>
#include <array>
#include <cstring>

#include "codec/can_mapping.h"
#include "codec/drive_message.h"
#include "fuzz_support.h"
#include "platform/can_socket.h"
#include "transport/can_link.h"
#include "transport/socketcan_link.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;

constexpr uint32_t kExtendedFlag = 0x80000000;
constexpr uint32_t kRemoteFlag = 0x40000000;
constexpr uint32_t kErrorFlag = 0x20000000;
constexpr uint32_t kExtendedBits = 0x1FFFFFFF;
constexpr uint32_t kStandardBits = 0x7FF;
constexpr uint32_t kErrorBusOff = 0x40;

void Record(std::span<const uint8_t> record, uint8_t protocol, uint16_t host) {
    uint32_t raw = 0;
    std::memcpy(&raw, record.data(), sizeof raw);
    const uint8_t length = record[4];
    const bool extended = (raw & kExtendedFlag) != 0;

    platform::CanSocketFrame in;
    in.problems = 0xDEAD;
    const bool decoded = platform::DecodeCanSocketRecord(record, in);
    if (!decoded) return;
    CanFrame frame;
    const bool dataFrame = SocketCanDataFrame(in, frame);

    if (raw & kErrorFlag) {
        // An error report is status for the link, never a frame.
        ZFUZZ_CHECK(in.problems != 0);
        ZFUZZ_CHECK(!dataFrame);
        if (raw & kErrorBusOff) ZFUZZ_CHECK(in.problems & platform::kCanBusOff);
        return;
    }
    ZFUZZ_CHECK(in.problems == 0);
    if (!dataFrame) return;

    // A data frame is exactly what came, or nothing: no remote request, no identifier bits
    // beyond its kind, no length beyond 8.
    ZFUZZ_CHECK(!(raw & kRemoteFlag));
    ZFUZZ_CHECK(length <= 8);
    ZFUZZ_CHECK(frame.extended == extended);
    ZFUZZ_CHECK(frame.id == (raw & kExtendedBits));
    ZFUZZ_CHECK(frame.id <= (extended ? kExtendedBits : kStandardBits));
    ZFUZZ_CHECK(frame.dlc == length);
    ZFUZZ_CHECK(std::equal(frame.bytes.begin(), frame.bytes.end(), record.begin() + 8));

    DriveMessage message{0x7777, 0x7777, 0x7777, {}};
    if (!CanFrameForHost(frame, protocol, host, message)) {
        ZFUZZ_CHECK(message.length == 0x7777 && message.opCode == 0x7777);
        return;
    }
    // Only the protocol's own kind of frame becomes a message, of at most four words.
    ZFUZZ_CHECK(extended == (protocol == CHANNEL_PROTOCOL_ORV));
    ZFUZZ_CHECK(message.length <= 4);
    if (protocol == CHANNEL_PROTOCOL_ORV) ZFUZZ_CHECK((message.address & 0x1FFE) == host);
    else ZFUZZ_CHECK((message.address | 1) == (host | 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input input(data, size);
    while (input.remaining() >= 3 + platform::kCanSocketRecordSize) {
        const uint8_t kind = input.Byte();
        const uint8_t protocol = (kind & 1) ? CHANNEL_PROTOCOL_TORVANECAN : CHANNEL_PROTOCOL_ORV;
        // Host addresses as a channel holds them: an axis ID shifted left by four.
        const auto host = static_cast<uint16_t>(input.Word() & 0x0FF0);
        Record(input.Bytes(platform::kCanSocketRecordSize), protocol, host);
    }
    // A record of another size is never taken.
    if (!input.empty() && input.remaining() != platform::kCanSocketRecordSize) {
        platform::CanSocketFrame in;
        ZFUZZ_CHECK(!platform::DecodeCanSocketRecord(input.Rest(), in));
    }
    return 0;
}
