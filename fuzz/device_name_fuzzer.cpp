// Device names as applications pass them to the open: port numbers and "COM" names for every
// channel type, and "host[:port]" for the Ethernet channels. The input is the name up to its
// first zero byte; after that byte come the answers of the name look-up (see SocketScript), which
// never reaches a real resolver.
#include <algorithm>
#include <cstring>
#include <string>

#include "channel/channel_open.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "fuzz_support.h"
#include "transport/device_server.h"

namespace {

using namespace zorcomm;

bool Blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Written apart from the library: blanks, an optional plus sign, then decimal digits up to
// `limit`; what follows the digits does not matter.
bool LeadingNumber(const char *text, uint64_t limit, uint64_t &value) {
    while (Blank(*text)) ++text;
    if (*text == '+') ++text;
    if (*text < '0' || *text > '9') return false;
    value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        if (value > limit) return false;
    }
    return true;
}

void PortNames(const char *name) {
    for (uint8_t type : {uint8_t{CHANNEL_RS232}, uint8_t{CHANNEL_RS485},
                         uint8_t{CHANNEL_LAWICEL_USBCAN}, uint8_t{CHANNEL_IXXAT_CAN},
                         uint8_t{CHANNEL_PEAK_PCAN_USB}, uint8_t{CHANNEL_KVASER_CAN}}) {
        uint32_t number = 0xABCD;
        const bool decoded = DecodePortName(name, type, number);
        uint64_t expected = 0;
        bool known = LeadingNumber(name, 0xFFFFFFFF, expected);
        if (!known && IsSerialPortType(type) && std::strncmp(name, "COM", 3) == 0 &&
            name[3] >= '0' && name[3] <= '9')
            known = LeadingNumber(name + 3, 0xFFFFFFFF, expected);
        known = known && expected <= 255;
        ZFUZZ_CHECK(decoded == known);
        if (decoded) ZFUZZ_CHECK(number == expected);
    }
}

void HostNames(const char *name) {
    uint32_t address = 0x12345678;
    uint16_t port = 0x4321;
    Context().lastError = 0;
    const bool resolved = ResolveDeviceName(name, address, port);
    const char *colon = std::strchr(name, ':');
    uint64_t expected = kDefaultDataPort;
    const bool portValid = !colon || LeadingNumber(colon + 1, 0xFFFF, expected);
    if (!portValid) ZFUZZ_CHECK(!resolved);
    if (resolved) {
        ZFUZZ_CHECK(port == expected);
        const std::string host(name, colon ? static_cast<size_t>(colon - name) : std::strlen(name));
        const uint32_t dotted = WinSock().inet_addr(host.c_str());
        if (dotted != 0xFFFFFFFF) ZFUZZ_CHECK(address == dotted);
    } else {
        ZFUZZ_CHECK(Context().lastError == 0x2000007b);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfuzz::AttachProcess();
    zfuzz::FakeSocketLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *zero = std::find(data, data + size, uint8_t{0});
    const std::string name(data, zero);
    const size_t rest = zero == data + size ? 0 : static_cast<size_t>(data + size - zero - 1);
    zfuzz::Input answers(zero == data + size ? data + size : zero + 1, rest);
    zfuzz::Script().input = &answers;
    zfuzz::Script().automatic = false;
    PortNames(name.c_str());
    HostNames(name.c_str());
    zfuzz::Script().input = nullptr;
    zfuzz::Script().automatic = true;
    return 0;
}
