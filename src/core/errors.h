// Error codes of the library, the one routine that records them, and their texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorcomm {

// The library's own codes used by name in the code.
enum class Error : uint32_t {
    BaudRateNotSupported = 0x20000064,
    ResourceLocked = 0x20000066,
    ChannelStateModified = 0x20000067,
    CannotSynchronize = 0x20000068,
    BoardNotFound = 0x20000069,
    HostAxisMismatch = 0x2000006a,
    InvalidAxisId = 0x2000006b,
    ExclusiveChannel = 0x2000006c,
    ChannelShared = 0x2000006d,
    ProtocolMismatch = 0x2000006e,
    ProtocolBroken = 0x2000006f,
    CannotDuplicate = 0x20000070,
    TooManyChannels = 0x20000071,
    CannotOpenPort = 0x20000072,
    CannotSetupPort = 0x20000073,
    DownloadCounter = 0x20000074,
    SendTimeout = 0x20000075,
    ReceiveTimeout = 0x20000076,
    PortNotOpened = 0x20000077,
    NotCoff = 0x20000078,
    IllegalMemoryOperation = 0x20000079,
    Interrupted = 0x2000007a,
    InvalidParameter = 0x2000007b,
    IncorrectData = 0x2000007c,
    ConversionFailed = 0x2000007d,
    ChecksumMismatch = 0x2000007e,
    HostAxisIsPc = 0x2000007f,
    NoAutodetection = 0x20000080,
    NotForChannelType = 0x20000081,
    CannotLoadDriver = 0x200000f4,
    SocketCanNoInterface = 0x20000118,
    SocketCanNotCan = 0x20000119,
    SocketCanInterfaceDown = 0x2000011a,
    SocketCanUnsupported = 0x2000011b,
    SocketCanQueueFull = 0x2000011c,
    SocketCanBitRateRefused = 0x2000011d,
    SocketCanBitRateFailed = 0x2000011e,
    SocketCanNoBitRateControl = 0x2000011f,
    SocketCanBusOff = 0x20000120,
    SocketCanErrorPassive = 0x20000121,
    SocketCanErrorWarning = 0x20000122,
    SocketCanOverflow = 0x20000123,
    SocketCanProtocolViolation = 0x20000124,
    SocketCanNoAcknowledge = 0x20000125,
    SocketCanBusError = 0x20000126,
    SocketCanRestarted = 0x20000127,
    RegionOwnedByOtherUser = 0x20000128,
    RegionOpenToOtherUsers = 0x20000129,
    RegionWrongSize = 0x2000012a,
    RegionUnusable = 0x2000012b,
    OutOfMemory = 0x200000f8,
    CannotOpenCoff = 0x200000f9,
};

// Records `code` as the last error (and the thread's system error code), writes the "MSK Error"
// log line while the log is on, and returns false.
bool SetError(uint32_t code);
inline bool SetError(Error code) { return SetError(static_cast<uint32_t>(code)); }

// The library's text of one of its own codes, with its final CR LF; empty when the code is not
// one of the library's.
std::string_view LibraryErrorText(uint32_t code);

// The text of `code`: the library's own first, then the platform's description of a system code.
// `module`: a module whose own texts come first instead of the library's (null: the library's).
bool LookUpErrorText(uint32_t code, std::string &text, const void *module = nullptr);

// Where a text comes from when neither the library nor the system has one for a code.
using ErrorTextSource = bool (*)(uint32_t code, std::string &text);
// The text of the current last error: the library's or the system's, else one from `further`,
// else "Error code 0x...". A refused shared region's code gives the text that names the object.
// (The links live above this floor: LastErrorText passes theirs.)
const char *DescribeLastError(ErrorTextSource further);

// The library's codes run without a gap from the first to the last; each has a text ending in
// CR LF (texts of several lines have CR LF between the lines).
constexpr uint32_t kFirstLibraryError = 0x20000064;
constexpr uint32_t kLastLibraryError = 0x2000012b;
constexpr size_t kLibraryErrorCount = kLastLibraryError - kFirstLibraryError + 1;

struct LibraryError {
    uint32_t code;
    std::string_view text;
};
// The whole table, in code order.
std::span<const LibraryError> LibraryErrors();

// Copies `text` into `buffer` as a zero-terminated string, cut to the buffer's size less one.
void CopyCut(std::string_view text, std::span<char> buffer);

} // namespace zorcomm
