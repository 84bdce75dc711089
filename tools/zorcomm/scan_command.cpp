#include "scan_command.h"

#include "numbers.h"
#include "progress_bar.h"
#include "signals.h"

#include <zorcomm/zorcomm.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace zcli {

namespace {

constexpr uint16_t kMaxAxis = 255;
// What the library says when no drive answers the board-information query of an axis; any
// other failure means the link itself is in trouble.
constexpr std::string_view kNoBoardText = "Cannot find board with selected Axis ID.";

struct ScanOptions {
    std::string axesText = "1-31";
    std::vector<uint16_t> axes;
};

struct Drive {
    uint16_t axis;
    std::string firmware;
};

bool ParseAxisItem(std::string_view item, std::vector<uint16_t> &axes) {
    size_t dash = item.find("..");
    size_t separatorLength = 2;
    if (dash == std::string_view::npos) {
        dash = item.find('-');
        separatorLength = 1;
    }
    const std::optional<uint32_t> first = ParseNumber(item.substr(0, dash));
    const std::optional<uint32_t> last =
        dash == std::string_view::npos ? first : ParseNumber(item.substr(dash + separatorLength));
    if (!first || !last || *first < 1 || *last > kMaxAxis || *first > *last) return false;
    for (uint32_t axis = *first; axis <= *last; ++axis)
        if (std::find(axes.begin(), axes.end(), axis) == axes.end())
            axes.push_back(static_cast<uint16_t>(axis));
    return true;
}

Json ScanJson(uint16_t host, uint32_t baudRate, const std::vector<Drive> &drives) {
    std::vector<Json> list;
    for (const Drive &drive : drives)
        list.push_back(Json().Add("axis", drive.axis).Add("firmware", drive.firmware));
    return Json().Add("hostAxis", host).Add("baudRate", baudRate).Add("drives", list);
}

std::string ProgressText(uint16_t axis, size_t found) {
    return "Axis " + std::to_string(axis) + " (" + std::to_string(found) + " found)";
}

ExitCode RunScan(const ScanOptions &options, const ChannelOptions &channel) {
    uint16_t host = 0;
    if (!MSK_GetHostDrive(&host)) return Fail("cannot read the host axis");
    const uint32_t baudRate = MSK_GetBaudRate();
    if (baudRate == 0) return Fail("cannot read the baud rate");
    if (!JsonOutput()) {
        std::printf("host axis:   %u\n", host);
        std::printf("baud rate:   %u\n", baudRate);
        std::fflush(stdout);
    }
    // On RS-485 and CAN the host axis is the PC's own ID, not a drive's.
    const bool hostIsPc = KindOfLink(channel) != LinkKind::PointToPoint;
    std::vector<Drive> drives;
    ProgressBar bar;
    for (size_t i = 0; i < options.axes.size(); ++i) {
        const uint16_t axis = options.axes[i];
        if (hostIsPc && axis == host) continue;
        if (StopRequested()) {
            bar.Clear();
            if (JsonOutput()) PrintJson(ScanJson(host, baudRate, drives));
            return ReportFailure("scan interrupted before axis " + std::to_string(axis), "");
        }
        bar.Show(ProgressText(axis, drives.size()),
                 static_cast<float>(i) * 100.0f / static_cast<float>(options.axes.size()));
        if (!MSK_SetActiveDrive(axis)) {
            bar.Clear();
            return Fail("cannot select axis " + std::to_string(axis));
        }
        std::array<char, 64> version{};
        if (!MSK_GetDriveVersion(version.data())) {
            if (LastErrorText() == kNoBoardText) continue;
            bar.Clear();
            return Fail("cannot ask axis " + std::to_string(axis));
        }
        version.back() = '\0';
        drives.push_back({axis, version.data()});
        if (!JsonOutput()) {
            bar.Clear();
            std::printf("%-12s %s\n", ("axis " + std::to_string(axis) + ":").c_str(),
                        version.data());
            std::fflush(stdout);
        }
    }
    bar.Clear();
    if (JsonOutput())
        PrintJson(ScanJson(host, baudRate, drives));
    else if (drives.empty())
        std::printf("no drive answered on axes %s\n", options.axesText.c_str());
    return ExitCode::Ok;
}

} // namespace

std::optional<std::vector<uint16_t>> ParseAxisList(std::string_view text) {
    std::vector<uint16_t> axes;
    while (true) {
        const size_t comma = text.find(',');
        if (!ParseAxisItem(text.substr(0, comma), axes)) return std::nullopt;
        if (comma == std::string_view::npos) return axes;
        text.remove_prefix(comma + 1);
    }
}

Command AddScan(CLI::App &app, const ChannelOptions &channel) {
    auto options = std::make_shared<ScanOptions>();
    CLI::App *sub = AddSubcommand(
        app, "scan",
        "List the drives that answer on the link, with their firmware",
        "zorcomm scan\n"
        "zorcomm --port 1 scan --axes 1-8\n"
        "zorcomm --json --channel pcan-usb --adapter 1 --host-axis 1 scan --axes 2,3,10-12");
    sub->add_option("--axes", options->axesText,
                    "Axis IDs to ask, e.g. 1-8 or 2,3,10..12 (default 1-31); each silent\n"
                    "axis costs the link's reply time-out and retries (settings file)")
        ->type_name("LIST");
    sub->callback([options] {
        const auto axes = ParseAxisList(options->axesText);
        if (!axes)
            throw CLI::ValidationError("--axes", "expected axis IDs 1 to 255 like 1-8 or 2,3,10..12, got '" +
                                                     options->axesText + "'");
        options->axes = *axes;
    });
    return {sub, [options, &channel] { return RunScan(*options, channel); }};
}

} // namespace zcli
