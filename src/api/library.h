// The library's load and unload, as the loader's notifications run them.
#pragma once

namespace zorcomm {

// Attaches the process to the shared slot table.
bool LibraryLoad();
// Closes the process's channels and detaches it.
void LibraryUnload();

} // namespace zorcomm
