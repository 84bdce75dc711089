// The scan subcommand: which axes answer on the link.
#pragma once

#include "commands.h"

#include <optional>
#include <string_view>
#include <vector>

namespace zcli {

Command AddScan(CLI::App &app, const ChannelOptions &channel);

// "1-31", "1..31", "3,4,9-12": axis IDs 1 to 255 in the order given, each once; nullopt for
// anything else (empty items, ranges that run backwards, numbers out of range).
std::optional<std::vector<uint16_t>> ParseAxisList(std::string_view text);

} // namespace zcli
