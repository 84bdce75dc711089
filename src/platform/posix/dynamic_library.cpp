// Shared objects loaded with dlopen; a failed load leaves an errno that says why and the
// loader's own text.
#include "platform/dynamic_library.h"

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>
#include <utility>

namespace zorcomm::platform {

namespace {

// Missing (or unreadable) file, or a file that is there but cannot be loaded: bad format,
// missing dependency or symbol.
int LoadFailureCode(const std::string &fileName, const std::string &text) {
    if (fileName.find('/') != std::string::npos) {
        struct stat info {};
        if (stat(fileName.c_str(), &info) != 0) return errno;
        return ELIBBAD;
    }
    // A bare name is searched for; the loader names the file it could not find first.
    if (text.starts_with(fileName + ": cannot open shared object file")) return ENOENT;
    return ELIBBAD;
}

} // namespace

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
    // An empty name would hand back the program itself.
    if (fileName.empty()) {
        loadError_ = "no library file name given";
        errno = ENOENT;
        return false;
    }
    dlerror();
    handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_) return true;
    const char *text = dlerror();
    loadError_ = text ? text : fileName + ": cannot be loaded";
    errno = LoadFailureCode(fileName, loadError_);
    return false;
}

void DynamicLibrary::Unload() {
    if (!handle_) return;
    const int code = errno;
    dlclose(handle_);
    handle_ = nullptr;
    errno = code;
}

void *DynamicLibrary::Symbol(const char *name) const {
    if (!handle_ || !name) {
        errno = EINVAL;
        return nullptr;
    }
    dlerror();
    void *address = dlsym(handle_, name);
    if (!address) errno = ENOSYS;
    return address;
}

} // namespace zorcomm::platform
