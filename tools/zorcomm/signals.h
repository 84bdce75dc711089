// Ctrl-C and SIGTERM: the first one asks the running command to stop at its next chance, so that
// the channel is closed properly; a second one ends the program at once.
#pragma once

namespace zcli {

// Catches SIGINT, SIGTERM and SIGHUP from now on, and ignores SIGPIPE: a reader of standard
// output that went away (`zorcomm monitor | head -n 3`) is noticed by NoteIfOutputClosed.
void CatchStopSignals();

// True once one of those signals has arrived, or standard output was found closed.
bool StopRequested();

// After a write to standard output: when it failed (its reader went away), says so on stderr
// once and asks the running command to stop.
void NoteIfOutputClosed();

} // namespace zcli
