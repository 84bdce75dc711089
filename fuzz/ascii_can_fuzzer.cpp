// The serial ASCII CAN adapter's answers and received frames: the bytes the adapter sends are the
// input. The first byte chooses what the library is doing when they arrive (judging the answer
// to a command or to a transmit, reading received frames, or sending a frame and waiting for its
// confirmation); the rest is the adapter's side of the line.
#include <string>

#include "core/errors.h"
#include "core/process_context.h"
#include "fuzz_support.h"
#include "transport/ascii_can_link.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;

class ScriptedAdapter : public AsciiCanPort {
public:
    explicit ScriptedAdapter(Input &input) : input_(input) {}

    bool ReadBytes(std::span<uint8_t> bytes) override {
        for (uint8_t &byte : bytes) {
            if (input_.empty()) return SetError(Error::ReceiveTimeout);
            byte = input_.Byte();
            text.push_back(static_cast<char>(byte));
        }
        return true;
    }
    bool WriteBytes(std::span<const uint8_t> bytes) override {
        written.assign(bytes.begin(), bytes.end());
        return true;
    }
    void DrainInput() override {}

    std::string text;    // what was read, in order
    std::string written; // the last write
private:
    Input &input_;
};

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A frame read is exactly the text the library writes for it.
void CheckFrameText(const CanFrame &frame, const std::string &text) {
    ZFUZZ_CHECK(frame.dlc <= 8);
    ZFUZZ_CHECK(frame.id < (frame.extended ? 1u << 29 : 1u << 11));
    Input none(nullptr, 0);
    ScriptedAdapter writer(none);
    ZFUZZ_CHECK(AsciiCanWriteFrame(writer, frame));
    ZFUZZ_CHECK(writer.written == text);
    for (size_t i = 1; i + 1 < text.size(); ++i) ZFUZZ_CHECK(IsUpperHex(text[i]));
}

void ReadFrames(Input &input) {
    ScriptedAdapter adapter(input);
    for (int round = 0; round < 1024 && !input.empty(); ++round) {
        adapter.text.clear();
        CanFrame frame{0x55, true, 1, {0x66}};
        Context().lastError = 0;
        if (AsciiCanReadFrame(adapter, frame)) {
            CheckFrameText(frame, adapter.text);
        } else {
            ZFUZZ_CHECK(Context().lastError == 0x2000006f || Context().lastError == 0x20000076);
            ZFUZZ_CHECK(frame.id == 0x55 && frame.dlc == 1);
        }
    }
}

void JudgeAnswer(Input &input, uint8_t protocol, uint8_t mask) {
    ScriptedAdapter adapter(input);
    uint8_t first = 0;
    Context().lastError = 0;
    const bool done = AsciiCanReadResponse(adapter, protocol, mask, &first);
    if (done) {
        const char confirmation = protocol == CHANNEL_PROTOCOL_TORVANECAN ? 'z' : 'Z';
        const std::string expected = (mask & 0x02) ? std::string{confirmation, '\r'} : "\r";
        ZFUZZ_CHECK(adapter.text == expected);
        return;
    }
    if (!adapter.text.empty()) ZFUZZ_CHECK(static_cast<uint8_t>(adapter.text[0]) == first);
    const uint32_t code = Context().lastError;
    const bool refusal = code >= 0x200000fa && code <= 0x200000ff;
    // A status answer that is not one fails without a code of its own.
    ZFUZZ_CHECK(code == 0 || code == 0x2000006f || code == 0x20000076 || refusal);
    if (refusal) ZFUZZ_CHECK(adapter.written == "F\r");
}

int delivered = 0;
void ZORCOMM_CALL Unsolicited(DriveMessage *message) {
    ZFUZZ_CHECK(message->length <= 4);
    ++delivered;
}

void SendFrame(Input &input, uint8_t protocol) {
    const AsciiCanChannel channel{protocol, static_cast<uint16_t>(input.Byte() << 4),
                                  static_cast<uint32_t>(input.Byte() % 4) * 50};
    CanFrame frame;
    frame.extended = protocol == CHANNEL_PROTOCOL_ORV;
    frame.id = input.Long() & (frame.extended ? 0x1FFFFFFF : 0x7FF);
    frame.dlc = input.Byte() % 9;
    for (uint8_t &byte : frame.bytes) byte = input.Byte();
    ScriptedAdapter adapter(input);
    Context().unsolicitedHandler = Unsolicited;
    Context().lastError = 0;
    const int result = AsciiCanSend(adapter, channel, frame);
    Context().unsolicitedHandler = nullptr;
    ZFUZZ_CHECK(result >= -1 && result <= 1);
    if (result == 0) ZFUZZ_CHECK(Context().lastError == 0x20000075);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfuzz::AttachProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input input(data, size);
    const uint8_t mode = input.Byte();
    const uint8_t protocol = (mode & 0x10) ? CHANNEL_PROTOCOL_TORVANECAN : CHANNEL_PROTOCOL_ORV;
    switch (mode % 4) {
    case 0:
        JudgeAnswer(input, protocol, kAsciiAfterCommand);
        break;
    case 1:
        JudgeAnswer(input, protocol, (mode & 0x20) ? kAsciiAfterTransmit : input.Byte());
        break;
    case 2:
        ReadFrames(input);
        break;
    default:
        SendFrame(input, protocol);
        break;
    }
    return 0;
}
