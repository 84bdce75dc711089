#include "api/library.h"

#include "channel/channel_open.h"
#include "core/call_frame.h"
#include "core/process_context.h"
#include "transport/link.h"

namespace zorcomm {

namespace {
void RecoverAbandonedChannel() {
    if (Link *link = CurrentLink()) link->RecoverAfterAbandonedLock();
}
} // namespace

bool LibraryLoad() {
    SetAbandonedChannelHook(RecoverAbandonedChannel);
    return AttachProcess();
}

void LibraryUnload() { DetachProcess(CloseChannelLink); }

} // namespace zorcomm
