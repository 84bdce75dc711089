// The subcommands. Each Add* function declares one subcommand with its options and returns what
// to run once the command line has been parsed.
#pragma once

#include "channel.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace zcli {

struct Command {
    CLI::App *app = nullptr;
    std::function<ExitCode()> run; // runs with the channel open
};

// Declares every subcommand on `app`.
std::vector<Command> AddCommands(CLI::App &app);

} // namespace zcli
