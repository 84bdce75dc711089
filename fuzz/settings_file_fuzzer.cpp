// The settings file: the input is the file. Keys the library reads are looked up in its section,
// as integers and as text, and so are a section and key named by the file's own first line
// "section|key" (so that names with odd blanks, brackets and cases are tried as well).
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

using zorcomm::platform::ReadProfileInt;
using zorcomm::platform::ReadProfileString;

constexpr const char *kKeys[] = {
    "TIMEOUT_READ_INTERVAL", "TIMEOUT_MULTIPLIER", "TIMEOUT_CONSTANT", "RUN_DEAD_TIME",
    "RESET_DEAD_TIME", "WAIT_AFTER_BAUD_CHANGE", "SYNCHRONIZATION_SLEEP_MULTIPLIER", "NO_TRIES",
    "CAN_SEND_TIMEOUT", "CAN_RECEIVE_TIMEOUT", "UDP_RECEIVE_TIMEOUT", "PEAK_SYS_PCAN_HWTYPE",
    "PEAK_SYS_PCAN_IO", "PEAK_SYS_PCAN_IRQ", "RS485_DTR", "RS485_RTS", "IXXAT_VCIID_HIGH",
    "IXXAT_VCIID_LOW", "IXXAT_BOARD_TYPE", "IXXAT_BOARD_INDEX"};

// The leading integer as the reader documents it: an optional sign and digits, wrapping.
uint32_t LeadingInteger(const std::string &text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

void Look(const char *section, const char *key, const char *path) {
    std::string text = "untouched";
    const bool found = ReadProfileString(section, key, text, path);
    const uint32_t fallback = 0xDEADBEEF;
    const uint32_t value = ReadProfileInt(section, key, fallback, path);
    if (!found) {
        ZFUZZ_CHECK(text == "untouched" && value == fallback);
        return;
    }
    // The integer is the text's leading number, and the text lies on one line.
    ZFUZZ_CHECK(value == LeadingInteger(text));
    ZFUZZ_CHECK(text.find('\n') == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    zfuzz::TemporaryFile file({data, size});
    const char *path = file.path().c_str();
    // Every key goes the same way through the reader: two of them per input keep it quick.
    constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
    Look("ZORCOMM", kKeys[size % kKeyCount], path);
    Look("zorcomm", kKeys[(size / kKeyCount) % kKeyCount], path);

    // A section and key from the first line: "section|key".
    const auto *end = std::find(data, data + size, '\n');
    const std::string line(data, end);
    const size_t bar = line.find('|');
    if (bar != std::string::npos && line.find('\0') == std::string::npos)
        Look(line.substr(0, bar).c_str(), line.substr(bar + 1).c_str(), path);
    return 0;
}
