// Options of the simulated drive network, shared by `zorcomm-sim serial` (command line), the
// virtual serial driver (ZORCOMM_SIM_OPTIONS and the `configure` control line).
#pragma once

#include "drive_model.h"
#include "serial_link.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

struct SimOptions {
    NetworkConfig network;
    LinkOptions link;
    std::vector<std::string> faults; // control lines "fault ..." to apply at start
    std::optional<unsigned> readTimeoutMs; // virtual serial driver: bound of one ReadData
    bool noControl = false;               // zorcomm-sim: ignore standard input
};

// Splits at blanks (spaces, tabs, line ends).
std::vector<std::string> SplitWords(std::string_view text);

// A number written "0x..." (hex) or in decimal; nullopt on anything else or above `max`.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max = UINT32_MAX);

// Parses options such as {"--axes", "1,2", "--rs485"}. On failure returns nullopt and a
// one-line reason in `error`.
std::optional<SimOptions> ParseOptions(std::span<const std::string> args, std::string &error);

// The option summary printed by `zorcomm-sim --help`.
const char *OptionsHelp();

} // namespace zsim
