#pragma once
// The vendor calls that the stand-in CAN libraries record for a channel's life, as the tests
// of the POSIX library and of the Windows DLL both expect them ($h, $d, $c, $ch, $e: the handles
// the stand-ins hand out). Plain C++ only: the Windows test program includes it too.
#include <cstdio>
#include <string>
#include <vector>

namespace vendor_calls {

using Lines = std::vector<std::string>;

inline Lines Append(Lines lines, const Lines &more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// esd under the 11-bit scheme: the message classes with an axis field, then the 31 identifiers
// of the class without one, in rising order.
inline Lines EsdTorvaneOpen() {
    Lines lines{"canOpen 1 0x0 1 16 200 200", "canSetBaudrate $h 2", "canIdAdd $h 0x121",
                "canIdAdd $h 0x141", "canIdAdd $h 0x161"};
    for (int id = 0x101; id <= 0x11F; ++id) {
        char text[32];
        std::snprintf(text, sizeof text, "canIdAdd $h 0x%X", id);
        lines.emplace_back(text);
    }
    return lines;
}

inline const Lines kV3Start{"vciInitialize", "vciEnumDeviceOpen", "vciEnumDeviceNext $e",
                            "vciEnumDeviceClose $e", "vciDeviceOpen 0x1", "canControlOpen $d 0"};
inline const Lines kV3Channel{"canControlStart $c 1", "canChannelOpen $d 0 0",
                              "canChannelInitialize $ch 16 1 1 1", "canChannelActivate $ch 1"};

} // namespace vendor_calls
