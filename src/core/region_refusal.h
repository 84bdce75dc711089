// A shared region the process refused to use (another user's object under its name, one open to
// other users, one of the wrong size): its error code and the text that names the object.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace zorcomm {

// The library's code for a refused region; 0 for RegionProblem::None.
uint32_t RegionRefusalCode(platform::RegionProblem problem);

// The table's text of the refusal's code, then a line of its own: "Shared memory object <name>:
// <what is wrong with it>. <what to do about it>."
std::string DescribeRegionRefusal(const platform::RegionRefusal &refusal);

// The text that names the object, when `code` is the code of this process's current refusal.
bool RegionRefusalText(uint32_t code, std::string &text);

// Reports why the process could not map the region: the refusal's code (the debug log names the
// object once per process). False always; no code when the platform recorded no reason.
bool ReportRegionRefusal();

} // namespace zorcomm
