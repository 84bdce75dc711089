// Ctrl-C and SIGTERM: the first one asks the running command to stop at its next chance, so that
// the channel is closed properly; a second one ends the program at once.
#pragma once

namespace zcli {

// Catches SIGINT, SIGTERM and SIGHUP from now on.
void CatchStopSignals();

// True once one of those signals has arrived.
bool StopRequested();

} // namespace zcli
