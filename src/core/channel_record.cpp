#include "core/channel_record.h"

#include <cstring>

namespace zorcomm {

void ClearChannelFields(Slot &slot) {
    const auto processId = slot.processId;
    const auto tableMutex = slot.tableMutex;
    std::memset(&slot, 0, sizeof slot);
    slot.processId = processId;
    slot.tableMutex = tableMutex;
}

} // namespace zorcomm
