#include "channel.h"

#include "numbers.h"

#include <zorcomm/zorcomm.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

namespace zcli {

namespace {

constexpr const char *kSimDriverFileName = "libzorcomm-simdriver.so";

struct Device {
    std::string name;
    uint8_t type = CHANNEL_VIRTUAL_SERIAL;
};

void ZORCOMM_CALL PrintLogLine(const char *line) {
    if (!line) return;
    const std::string_view text(line);
    std::fputs(line, stderr);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
}

bool IsFile(const std::filesystem::path &path) {
    std::error_code ignored;
    return std::filesystem::is_regular_file(path, ignored);
}

// The simulated drive's driver beside this program (an installed layout), else the one built
// with it.
std::optional<std::string> FindSimulatedDrive() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = self.parent_path() / kSimDriverFileName;
        if (IsFile(beside)) return beside.string();
    }
#ifdef ZORCOMM_SIMDRIVER_PATH
    if (IsFile(ZORCOMM_SIMDRIVER_PATH)) return std::string(ZORCOMM_SIMDRIVER_PATH);
#endif
    return std::nullopt;
}

struct CanChannel {
    const char *name;
    uint8_t type;
};
constexpr CanChannel kCanChannels[] = {
    {"ixxat", CHANNEL_IXXAT_CAN},
    {"systec", CHANNEL_SYS_TEC_USBCAN},
    {"pcan-pci", CHANNEL_PEAK_PCAN_PCI},
    {"pcan-isa", CHANNEL_PEAK_PCAN_ISA},
    {"pcan-usb", CHANNEL_PEAK_PCAN_USB},
    {"pcan-dongle", CHANNEL_PEAK_PCAN_DONGLE},
    {"esd", CHANNEL_ESD_CAN},
    {"lawicel", CHANNEL_LAWICEL_USBCAN},
    {"kvaser", CHANNEL_KVASER_CAN},
    {"socketcan", CHANNEL_SOCKETCAN},
};

const CanChannel *FindCanChannel(const std::string &name) {
    for (const auto &channel : kCanChannels)
        if (name == channel.name) return &channel;
    return nullptr;
}

// CAN adapters: the adapter number (the COM port for the ASCII adapter), the identifier scheme in
// the type byte, and a host axis, which the PC needs on a bus.
ExitCode ResolveCanDevice(const ChannelOptions &options, const CanChannel &can, Device &device) {
    if (!options.driver.empty() || !options.host.empty())
        return UsageError("--driver and --host do not go with a CAN channel");
    if (options.hostAxis == 0)
        return UsageError(std::string("--channel ") + can.name + " needs --host-axis N (1 to 255)");
    device.type = can.type;
    if (options.protocol == "torvanecan") device.type |= CHANNEL_PROTOCOL_TORVANECAN;
    if (can.type == CHANNEL_SOCKETCAN) {
        if (options.port != 0 || options.adapter >= 0)
            return UsageError("--channel socketcan takes --interface NAME, not --port or --adapter");
        if (options.interface.empty()) return UsageError("--channel socketcan needs --interface NAME");
        device.name = options.interface;
        return ExitCode::Ok;
    }
    if (!options.interface.empty()) return UsageError("--interface needs --channel socketcan");
    if (can.type == CHANNEL_LAWICEL_USBCAN) {
        if (options.port == 0) return UsageError("--channel lawicel needs --port N");
        device.name = "COM" + std::to_string(options.port);
        return ExitCode::Ok;
    }
    if (options.port != 0) return UsageError("a CAN adapter takes --adapter N, not --port");
    if (options.adapter < 0)
        return UsageError(std::string("--channel ") + can.name + " needs --adapter N");
    device.name = std::to_string(options.adapter);
    return ExitCode::Ok;
}

// Every --channel value: the byte-stream links, then the CAN adapters of the table above.
std::vector<std::string> ChannelNames() {
    std::vector<std::string> names{"rs232", "rs485", "virtual", "xport", "udp"};
    for (const auto &channel : kCanChannels) names.emplace_back(channel.name);
    return names;
}

// Works out the device name and type byte for MSK_OpenComm.
ExitCode ResolveDevice(const ChannelOptions &options, Device &device) {
    const std::string channel =
        !options.channel.empty() ? options.channel : (options.port != 0 ? "rs232" : "virtual");
    if (const CanChannel *can = FindCanChannel(channel)) return ResolveCanDevice(options, *can, device);
    if (options.adapter >= 0 || !options.protocol.empty() || options.bitRate != 0 || !options.interface.empty())
        return UsageError("--adapter, --interface, --protocol and --bitrate go with a CAN channel");
    if (channel == "virtual") {
        if (options.port != 0) return UsageError("--port needs --channel rs232 or rs485");
        device.type = CHANNEL_VIRTUAL_SERIAL;
        if (!options.driver.empty()) {
            device.name = options.driver;
            return ExitCode::Ok;
        }
        const std::optional<std::string> simulated = FindSimulatedDrive();
        if (!simulated)
            return ReportFailure(std::string("the simulated drive (") + kSimDriverFileName +
                                     ") was not found; give --driver PATH or --channel rs232 "
                                     "--port N",
                                 "");
        device.name = *simulated;
        return ExitCode::Ok;
    }
    if (!options.driver.empty()) return UsageError("--driver needs --channel virtual");
    if (channel == "xport" || channel == "udp") {
        if (options.port != 0) return UsageError("--port needs --channel rs232 or rs485");
        if (options.host.empty())
            return UsageError("--channel " + channel + " needs --host HOST[:PORT]");
        device.type = channel == "xport" ? CHANNEL_XPORT_TCP : CHANNEL_UDP;
        device.name = options.host;
        return ExitCode::Ok;
    }
    if (!options.host.empty()) return UsageError("--host needs --channel xport or udp");
    if (options.port == 0) return UsageError("--channel " + channel + " needs --port N");
    device.type = channel == "rs485" ? CHANNEL_RS485 : CHANNEL_RS232;
    // Every drive on an RS-485 bus answers for itself, so the host axis cannot be detected.
    if (device.type == CHANNEL_RS485 && options.hostAxis == 0)
        return UsageError("--channel rs485 needs --host-axis N (1 to 255)");
    device.name = "COM" + std::to_string(options.port);
    return ExitCode::Ok;
}

} // namespace

void AddChannelOptions(CLI::App &app, ChannelOptions &options) {
    app.add_option("--channel", options.channel,
                   "Link to the drives (default: virtual, or rs232 with --port)")
        ->transform(CLI::IsMember(ChannelNames(), CLI::ignore_case))
        ->type_name("TYPE");
    app.add_option("--port", options.port,
                   "COM port number for rs232/rs485; device from $ZORCOMM_COM<N>,\n"
                   "the settings file, or /dev/ttyS<N-1>")
        ->transform(Number(1, 255))
        ->type_name("N");
    app.add_option("--host", options.host,
                   "Device server for xport/udp: host name or IPv4 address,\n"
                   "optionally :PORT (default 1700)")
        ->type_name("HOST[:PORT]");
    app.add_option("--driver", options.driver,
                   "Virtual serial driver library (default: the simulated drive)")
        ->type_name("PATH");
    app.add_option("--adapter", options.adapter,
                   "CAN adapter, net or channel number (the vendor library's numbering)")
        ->transform(Number(0, 255))
        ->type_name("N");
    app.add_option("--interface", options.interface,
                   "SocketCAN network interface for --channel socketcan (can0, ...);\n"
                   "bring it up first: ip link set can0 up type can bitrate 500000")
        ->type_name("NAME");
    app.add_option("--protocol", options.protocol,
                   "CAN identifier scheme: orv (29-bit, default) or torvanecan (11-bit)")
        ->transform(CLI::IsMember({"orv", "torvanecan"}, CLI::ignore_case))
        ->type_name("SCHEME");
    app.add_option("--bitrate", options.bitRate,
                   "CAN bit rate after the open: 125000, 250000, 500000 (default), 800000\n"
                   "or 1000000")
        ->transform(Number(1, 1000000))
        ->type_name("BITS");
    app.add_option("--host-axis", options.hostAxis,
                   "Axis ID of the drive wired to the PC, 1 to 255 (default 0:\n"
                   "detect it; rs485 needs one)")
        ->transform(Number(0, 255))
        ->type_name("N");
    app.add_option("--log-level", options.logLevel,
                   "Debug log on stderr: 1 errors, 2 + information, 3 + traffic")
        ->transform(Number(1, 3))
        ->type_name("N");
}

LinkKind KindOfLink(const ChannelOptions &options) {
    if (FindCanChannel(options.channel)) return LinkKind::Can;
    return options.channel == "rs485" ? LinkKind::Rs485 : LinkKind::PointToPoint;
}

ExitCode WithChannel(const ChannelOptions &options, const std::function<ExitCode()> &work,
                     const std::function<void()> &beforeOpen) {
    Device device;
    if (const ExitCode resolved = ResolveDevice(options, device); resolved != ExitCode::Ok)
        return resolved;
    if (beforeOpen) beforeOpen();
    if (options.logLevel > 0) MSK_RegisterDebugLogHandler(options.logLevel, PrintLogLine);
    if (MSK_OpenComm(device.name.c_str(), options.hostAxis, 0, device.type) <= 0)
        return Fail("cannot open " + device.name);
    if (options.bitRate != 0 && !MSK_SetBaudRate(options.bitRate)) {
        const ExitCode failed = Fail("cannot set the bit rate");
        MSK_CloseComm(-1);
        return failed;
    }
    const ExitCode result = work();
    if (!MSK_CloseComm(-1) && result == ExitCode::Ok) return Fail("cannot close the channel");
    return result;
}

ExitCode Fail(std::string_view what, const std::vector<std::string> &details) {
    const std::string text = LastErrorText();
    return ReportFailure(what, text.empty() ? "unknown error" : text, details);
}

ExitCode UsageError(std::string_view text) { return ReportUsage(text); }

} // namespace zcli
