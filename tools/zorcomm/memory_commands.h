// The subcommands that move drive memory: download, read, write and checksum.
#pragma once

#include "commands.h"

#include <vector>

namespace zcli {

std::vector<Command> AddMemoryCommands(CLI::App &app);

} // namespace zcli
