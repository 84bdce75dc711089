// The subcommands that take messages from the drives: receive and monitor.
#pragma once

#include "commands.h"

#include <vector>

namespace zcli {

std::vector<Command> AddMessageCommands(CLI::App &app, const ChannelOptions &channel);

} // namespace zcli
