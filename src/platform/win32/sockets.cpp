// The socket library on Windows is ws2_32.dll itself, loaded at run time; its entry points are
// bound by name by the caller.
#include "platform/sockets.h"

#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

SocketLibrary::~SocketLibrary() { Unload(); }

bool SocketLibrary::Load() {
    if (loaded_) return true;
    module_ = LoadLibraryA("ws2_32.dll");
    loaded_ = module_ != nullptr;
    return loaded_;
}

void SocketLibrary::Unload() {
    if (!loaded_) return;
    const DWORD code = GetLastError();
    FreeLibrary(static_cast<HMODULE>(module_));
    module_ = nullptr;
    loaded_ = false;
    SetLastError(code);
}

void *SocketLibrary::Symbol(const char *name) const {
    if (!loaded_ || !name) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module_), name));
}

} // namespace zorcomm::platform
