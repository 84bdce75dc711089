// Time-outs of the selected channel's port and sockets, applied through its link family.
#include "core/settings.h"
#include "transport/link.h"

namespace zorcomm {

bool ApplySerialTimeouts(const SerialTimeouts &timeouts) {
    Link *link = CurrentLink();
    return link && link->SetSerialTimeouts(timeouts);
}

bool ApplySocketTimeouts(uint32_t milliseconds) {
    Link *link = CurrentLink();
    return link && link->SetSocketTimeouts(milliseconds);
}

} // namespace zorcomm
