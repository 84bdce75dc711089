// Libraries loaded at run time on Windows: LoadLibraryA, GetProcAddress, FreeLibrary. A failed
// load leaves the system's error code and its text.
#include "platform/dynamic_library.h"

#include <utility>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

DynamicLibrary::~DynamicLibrary() { Unload(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), loadError_(std::move(other.loadError_)) {}

DynamicLibrary &DynamicLibrary::operator=(DynamicLibrary &&other) noexcept {
    if (this != &other) {
        Unload();
        handle_ = std::exchange(other.handle_, nullptr);
        loadError_ = std::move(other.loadError_);
    }
    return *this;
}

bool DynamicLibrary::Load(const std::string &fileName) {
    Unload();
    loadError_.clear();
    if (fileName.empty()) {
        loadError_ = "no library file name given";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return false;
    }
    // No message box about a missing library: the caller reports the failure.
    const UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    handle_ = LoadLibraryA(fileName.c_str());
    const DWORD code = GetLastError();
    SetErrorMode(mode);
    if (handle_) return true;
    if (!SystemErrorText(code, loadError_)) loadError_ = fileName + ": cannot be loaded";
    SetLastError(code);
    return false;
}

void DynamicLibrary::Unload() {
    if (!handle_) return;
    const DWORD code = GetLastError();
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
    SetLastError(code);
}

void *DynamicLibrary::Symbol(const char *name) const {
    if (!handle_ || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

} // namespace zorcomm::platform
