#include "api/library.h"

#include "channel/channel_open.h"
#include "core/process_context.h"

namespace zorcomm {

bool LibraryLoad() { return AttachProcess(); }

void LibraryUnload() { DetachProcess(CloseChannelLink); }

} // namespace zorcomm
