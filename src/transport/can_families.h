// The factories of the CAN adapter families. Each loads its vendor's library (counted per
// process) and returns null with the family's error code set when it cannot be used.
#pragma once

#include <cstdint>
#include <memory>

#include "transport/can_link.h"

namespace zorcomm {

std::unique_ptr<CanLink> MakeIxxatLink(Slot &slot);
std::unique_ptr<CanLink> MakeSysTecLink(Slot &slot);
std::unique_ptr<CanLink> MakePeakLink(Slot &slot, uint8_t channelType);
std::unique_ptr<CanLink> MakeEsdLink(Slot &slot);
std::unique_ptr<CanLink> MakeKvaserLink(Slot &slot);
std::unique_ptr<CanLink> MakeAsciiCanLink(Slot &slot);

} // namespace zorcomm
