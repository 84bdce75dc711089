// The library's load and unload notifications, run by the dynamic loader. A load that cannot
// attach the process (the slot table is full) leaves it detached; its exported calls then try
// again and report why they could not.
#include "api/library.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { zorcomm::LibraryLoad(); }

__attribute__((destructor)) void OnLibraryUnload() { zorcomm::LibraryUnload(); }

} // namespace
