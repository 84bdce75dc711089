// The options every subcommand shares, exit codes, and the one place a channel is opened.
#pragma once

#include "output.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zcli {

struct ChannelOptions {
    std::string channel;  // "rs232", "rs485", "virtual", "xport" or "udp"; empty = virtual, or
                          // rs232 with --port
    uint32_t port = 0;    // COM port number; 0 = none given
    std::string host;     // device server for xport/udp: HOST or HOST:PORT
    std::string driver;   // virtual serial driver library; empty = the simulated drive
    uint16_t hostAxis = 0; // 0 = let the library find the host drive
    int32_t logLevel = 0;  // 0 = no debug log, else 1 to 3
    int adapter = -1;      // CAN adapter, net or channel number; -1 = none given
    std::string interface; // SocketCAN network interface ("can0")
    std::string protocol;  // CAN identifier scheme: "orv" (default) or "torvanecan"
    uint32_t bitRate = 0;  // CAN bit rate to set after the open; 0 = keep 500000
};

// Adds --channel, --port, --host, --driver, --adapter, --interface, --protocol, --bitrate, --host-axis and
// --log-level to the program.
void AddChannelOptions(CLI::App &app, ChannelOptions &options);

// The kind of link the options describe, for commands whose work differs by it.
enum class LinkKind { PointToPoint, Rs485, Can };
LinkKind KindOfLink(const ChannelOptions &options);

// Opens the channel the options describe, runs `work` on it and closes it again. `beforeOpen`
// (if any) runs first, before the channel opens. Usage mistakes the parser cannot see (rs232
// without --port, ...) give ExitCode::Usage.
ExitCode WithChannel(const ChannelOptions &options, const std::function<ExitCode()> &work,
                     const std::function<void()> &beforeOpen = {});

// Reports "<what>: <the library's last error text>" (ReportFailure, with `details`) and returns
// ExitCode::Failure.
ExitCode Fail(std::string_view what, const std::vector<std::string> &details = {});

// Reports a usage mistake (ReportUsage) and returns ExitCode::Usage.
ExitCode UsageError(std::string_view text);

} // namespace zcli
