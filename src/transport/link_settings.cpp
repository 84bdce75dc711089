// Reading the settings file and giving the selected channel's link the time-outs it sets.
#include "transport/link_settings.h"

#include "core/debug_log.h"
#include "core/process_context.h"
#include "transport/link.h"

namespace zorcomm {

// Goes by the type recorded in the selected slot, not by the type being opened: during an open
// the slot still holds type 0, so every serial port first gets the RS-232 / RS-485 record.
bool ApplyChannelTimeouts(const SerialTimeoutSettings &serial, const SharedSettings &shared) {
    const Slot *slot = Context().currentSlot;
    if (!slot) return true;
    Link *link = CurrentLink();
    switch (slot->channelType) {
    case CHANNEL_RS232:
    case CHANNEL_RS485:
    case CHANNEL_LAWICEL_USBCAN:
        if (!link || !link->SetSerialTimeouts(SerialTimeoutsFor(slot->channelType, serial, shared)))
            return false;
        LogInfo("Set serial timeouts ended successfully");
        return true;
    case CHANNEL_XPORT_TCP:
    case CHANNEL_UDP:
        return link && link->SetSocketTimeouts(shared.udpReceiveTimeout);
    default:
        return true;
    }
}

bool LoadSettings(uint8_t openingType) {
    // The protocol flag of a type code has no say here; 255 (an update) matches no type.
    const auto type = static_cast<uint8_t>(openingType & kTypeMask);
    if (type == CHANNEL_VIRTUAL_SERIAL) return true;

    SerialTimeoutSettings serial;
    if (!ReadSettings(type, serial)) return false;
    return ApplyChannelTimeouts(serial, Shared()->settings);
}

} // namespace zorcomm
