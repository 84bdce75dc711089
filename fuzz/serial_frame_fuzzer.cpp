// The serial frame as it arrives from a port: the frame parser over a stream of bytes, and the
// engine's send (acknowledge wait, stray frames, retries with resynchronisation) and receive on a
// link whose incoming bytes are the input.
#include <algorithm>

#include "codec/drive_message.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "fuzz_support.h"
#include "protocol/engine.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;

// Every frame the parser completes is exactly the frame the library would build for the message
// it yields; bad length bytes read nothing further.
void ParseStream(const uint8_t *data, size_t size) {
    Input input(data, size);
    while (!input.empty()) {
        const size_t start = input.consumed();
        const uint8_t first = input.Byte();
        bool readFailed = false;
        DriveMessage message{};
        const int result = ParseSerialFrame(
            first,
            [&](std::span<uint8_t> rest) {
                if (input.remaining() < rest.size()) {
                    input.Rest();
                    readFailed = true;
                    return false;
                }
                const auto bytes = input.Bytes(rest.size());
                std::copy(bytes.begin(), bytes.end(), rest.begin());
                return true;
            },
            message);
        const bool lengthByte = first % 2 == 0 && first >= 4 && first <= 12;
        if (!lengthByte) {
            ZFUZZ_CHECK(result == -1 && input.consumed() == start + 1);
            continue;
        }
        if (result == 0) {
            ZFUZZ_CHECK(readFailed);
            break;
        }
        ZFUZZ_CHECK(result == 1 || result == -1);
        ZFUZZ_CHECK(input.consumed() == start + first + 2u);
        ZFUZZ_CHECK(message.length == (first - 4) / 2);
        const SerialFrame rebuilt = BuildSerialFrame(message);
        ZFUZZ_CHECK(rebuilt.size == first + 2u);
        const bool same = std::equal(rebuilt.bytes.begin(), rebuilt.bytes.begin() + rebuilt.size,
                                     data + start);
        ZFUZZ_CHECK(same == (result == 1));
    }
}

int delivered = 0;

void ZORCOMM_CALL Unsolicited(DriveMessage *message) {
    ZFUZZ_CHECK(message && message->length <= 4);
    ++delivered;
}

// The engine on an RS-232 channel: one message sent (the first 14 bytes of the input), then
// receives until the input is used up.
void ExchangeOnLink(const uint8_t *data, size_t size) {
    Input input(data, size);
    DriveMessage message{};
    message.length = static_cast<uint16_t>(input.Byte() % 6);
    message.address = input.Word();
    message.opCode = input.Word();
    for (uint16_t &word : message.data) word = input.Word();
    const bool handler = input.Byte() & 1;

    auto link = std::make_unique<zfuzz::ScriptedLink>(zfuzz::EmptySlot(), input);
    Slot &slot = zfuzz::InstallChannel(CHANNEL_RS232, std::move(link));
    slot.replyTimeout = 1000;
    Context().unsolicitedHandler = handler ? Unsolicited : nullptr;

    const int sent = SendDriveMessage(&message);
    if (message.length > 4) ZFUZZ_CHECK(sent == 0 && Context().lastError == 0x2000007b);
    ZFUZZ_CHECK(sent >= -1 && sent <= 1);
    for (int round = 0; round < 4096 && !input.empty(); ++round) {
        DriveMessage received{};
        bool acknowledge = false;
        const int result = ReceiveDriveMessage(&received, &acknowledge);
        ZFUZZ_CHECK(result >= -1 && result <= 1);
        if (result == -1) ZFUZZ_CHECK(Context().lastError == 0x2000007c);
        if (result == 1 && !acknowledge) ZFUZZ_CHECK(received.length <= 4);
    }
    Context().unsolicitedHandler = nullptr;
    zfuzz::ReleaseChannel();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfuzz::AttachProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ParseStream(data, size);
    ExchangeOnLink(data, size);
    return 0;
}
