// The slots of the shared table: taking and giving them back, finding a link that is already
// open, and joining a link another process holds.
#pragma once

#include <cstdint>

#include "core/channel_record.h"

namespace zorcomm {

bool AllocateSlot();
bool ReleaseSlot(int16_t index);
int16_t FindOwnChannelSlot(uint8_t type, uint32_t number);
int16_t FindChannelSlot(uint8_t type, uint32_t number);

enum class ShareResult { Duplicated, Continue, Failed };

struct OpenRequest {
    uint8_t type;
    uint8_t protocolFlag;
    uint32_t number;
    uint16_t hostAddress;
    bool exclusive;
};

// Joins the link held by slot `index` of another process, from the selected slot.
ShareResult ShareChannel(int16_t index, const OpenRequest &request);

} // namespace zorcomm
