// The subcommands. Each Add* function declares one subcommand with its options and returns what
// to run once the command line has been parsed.
#pragma once

#include "channel.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zcli {

struct Command {
    CLI::App *app = nullptr;
    std::function<ExitCode()> run;      // runs with the channel open
    std::function<void()> beforeOpen{}; // runs before the channel opens (may be empty)
};

// Declares every subcommand on `app`. `channel` is what the global options say; the commands
// read it when they run.
std::vector<Command> AddCommands(CLI::App &app, const ChannelOptions &channel);

// Helpers the subcommands share.

// A subcommand whose help ends with its examples (`examples`: one per line, without indent).
CLI::App *AddSubcommand(CLI::App &app, const char *name, const char *description,
                        const char *examples);

// --axis N, 1 to 255; 0 (the default) means the active axis.
CLI::Option *AddAxisOption(CLI::App &sub, uint16_t &axis, const std::string &description);

// Makes `axis` the active one when given (0 = keep the active axis).
bool ChooseActiveAxis(uint16_t axis);

// "0x%04X".
std::string Hex(uint32_t value);

} // namespace zcli
