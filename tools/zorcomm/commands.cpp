#include "commands.h"

#include "memory_commands.h"
#include "message_commands.h"
#include "numbers.h"
#include "scan_command.h"

#include <zorcomm/zorcomm.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

namespace zcli {

namespace {

constexpr size_t kMaxDataWords = 4;
constexpr uint16_t kAxisShift = 4;

ExitCode RunInfo(uint16_t axis) {
    if (!ChooseActiveAxis(axis)) return Fail("cannot select axis " + std::to_string(axis));
    uint16_t host = 0;
    if (!MSK_GetHostDrive(&host)) return Fail("cannot read the host axis");
    uint16_t active = 0;
    if (!MSK_GetActiveDrive(&active)) return Fail("cannot read the active axis");
    std::array<char, 64> version{};
    if (!MSK_GetDriveVersion(version.data())) return Fail("cannot read the firmware version");
    version.back() = '\0';
    const uint32_t baudRate = MSK_GetBaudRate();
    if (baudRate == 0) return Fail("cannot read the baud rate");
    if (JsonOutput()) {
        PrintJson(Json()
                      .Add("hostAxis", host)
                      .Add("activeAxis", active)
                      .Add("firmware", version.data())
                      .Add("baudRate", baudRate));
        return ExitCode::Ok;
    }
    std::printf("host axis:   %u\n", host);
    std::printf("active axis: %u\n", active);
    std::printf("firmware:    %s\n", version.data());
    std::printf("baud rate:   %u\n", baudRate);
    return ExitCode::Ok;
}

Command AddInfo(CLI::App &app) {
    auto axis = std::make_shared<uint16_t>(0);
    CLI::App *sub = AddSubcommand(
        app, "info", "Show the host axis, the active drive's firmware and the baud rate",
        "zorcomm info\n"
        "zorcomm --json info\n"
        "zorcomm --channel rs485 --port 1 --host-axis 1 info --axis 2");
    // On RS-485 the host axis is the PC's own ID, so another axis has to be named there.
    AddAxisOption(*sub, *axis,
                  "Axis ID whose firmware to show, 1 to 255 (default: the active axis)");
    return {sub, [axis] { return RunInfo(*axis); }};
}

struct SendOptions {
    uint16_t opCode = 0;
    std::vector<uint16_t> data;
    uint16_t axis = 0; // 0 = the active axis
};

ExitCode RunSend(const SendOptions &options) {
    uint16_t axis = options.axis;
    if (axis == 0 && !MSK_GetActiveDrive(&axis)) return Fail("cannot read the active axis");
    DriveMessage message{};
    message.length = static_cast<uint16_t>(options.data.size());
    message.address = static_cast<uint16_t>(axis << kAxisShift);
    message.opCode = options.opCode;
    for (size_t i = 0; i < options.data.size() && i < kMaxDataWords; ++i)
        message.data[i] = options.data[i];
    if (!MSK_SendMessage(&message)) return Fail("message not acknowledged");
    if (JsonOutput()) {
        PrintJson(Json()
                      .AddBool("acknowledged", true)
                      .Add("axis", axis)
                      .Add("address", message.address)
                      .Add("opCode", message.opCode)
                      .Add("data", std::span<const uint16_t>(options.data)));
        return ExitCode::Ok;
    }
    std::printf("acknowledged\n");
    return ExitCode::Ok;
}

Command AddSend(CLI::App &app) {
    auto options = std::make_shared<SendOptions>();
    CLI::App *sub =
        AddSubcommand(app, "send", "Send one drive message and wait for its acknowledge",
                      "zorcomm send 0xD801 0x11 --axis 1");
    sub->add_option("OPCODE", options->opCode, "Op code, 0 to 0xFFFF")
        ->required()
        ->transform(Number(0, 0xFFFF))
        ->type_name("");
    sub->add_option("DATA", options->data, "Up to four data words, 0 to 0xFFFF each")
        ->transform(Number(0, 0xFFFF))
        ->type_name("");
    AddAxisOption(*sub, options->axis, "Axis ID to send to, 1 to 255 (default: the active axis)");
    // Checked here rather than with expected(0, 4), which CLI11 shows oddly in the usage line.
    sub->callback([options] {
        if (options->data.size() > kMaxDataWords)
            throw CLI::ValidationError("DATA", "at most " + std::to_string(kMaxDataWords) +
                                                   " data words, got " +
                                                   std::to_string(options->data.size()));
    });
    return {sub, [options] { return RunSend(*options); }};
}

ExitCode RunBaud(uint32_t rate) {
    if (!MSK_SetBaudRate(rate)) return Fail("cannot change the baud rate");
    const uint32_t now = MSK_GetBaudRate();
    if (now == 0) return Fail("cannot read the baud rate");
    if (JsonOutput()) {
        PrintJson(Json().Add("baudRate", now));
        return ExitCode::Ok;
    }
    std::printf("baud rate:   %u\n", now);
    return ExitCode::Ok;
}

Command AddBaud(CLI::App &app) {
    auto rate = std::make_shared<uint32_t>(0);
    CLI::App *sub = AddSubcommand(app, "baud", "Move the drives and the PC to another baud rate",
                                  "zorcomm baud 115200");
    sub->add_option("RATE", *rate, "New baud rate: 9600, 19200, 38400, 57600 or 115200")
        ->required()
        ->transform(Number(1, UINT32_MAX))
        ->type_name("");
    return {sub, [rate] { return RunBaud(*rate); }};
}

ExitCode RunReset(uint16_t axis) {
    if (!ChooseActiveAxis(axis)) return Fail("cannot select axis " + std::to_string(axis));
    uint16_t active = 0;
    if (!MSK_GetActiveDrive(&active)) return Fail("cannot read the active axis");
    if (!MSK_ResetDrive()) return Fail("cannot reset the drive");
    if (JsonOutput()) {
        PrintJson(Json().AddBool("reset", true).Add("axis", active));
        return ExitCode::Ok;
    }
    std::printf("reset\n");
    return ExitCode::Ok;
}

Command AddReset(CLI::App &app) {
    auto axis = std::make_shared<uint16_t>(0);
    CLI::App *sub = AddSubcommand(app, "reset", "Reset a drive", "zorcomm reset --axis 1");
    AddAxisOption(*sub, *axis, "Axis ID to reset, 1 to 255 (default: the active axis)");
    return {sub, [axis] { return RunReset(*axis); }};
}

} // namespace

CLI::App *AddSubcommand(CLI::App &app, const char *name, const char *description,
                        const char *examples) {
    CLI::App *sub = app.add_subcommand(name, description);
    std::istringstream lines(examples);
    std::string footer;
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        footer += "\n  " + line;
        ++count;
    }
    sub->footer((count > 1 ? "Examples:" : "Example:") + footer);
    // Global options (--channel, --json, --log-level, ...) may also follow the subcommand.
    sub->fallthrough();
    return sub;
}

CLI::Option *AddAxisOption(CLI::App &sub, uint16_t &axis, const std::string &description) {
    return sub.add_option("--axis", axis, description)->transform(Number(1, 255))->type_name("N");
}

bool ChooseActiveAxis(uint16_t axis) { return axis == 0 || MSK_SetActiveDrive(axis); }

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::vector<Command> AddCommands(CLI::App &app, const ChannelOptions &channel) {
    std::vector<Command> commands{AddInfo(app), AddScan(app, channel), AddSend(app)};
    for (Command &command : AddMessageCommands(app, channel)) commands.push_back(std::move(command));
    commands.push_back(AddBaud(app));
    commands.push_back(AddReset(app));
    for (Command &command : AddMemoryCommands(app)) commands.push_back(std::move(command));
    return commands;
}

} // namespace zcli
