// Shared libraries loaded at run time by file name, entry points bound by name.
#pragma once

#include <string>

namespace zorcomm::platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary &&other) noexcept;
    DynamicLibrary &operator=(DynamicLibrary &&other) noexcept;
    DynamicLibrary(const DynamicLibrary &) = delete;
    DynamicLibrary &operator=(const DynamicLibrary &) = delete;

    // Loads the library; on failure the system error code is set and the text is kept.
    bool Load(const std::string &fileName);
    void Unload();
    // Forgets the library without unloading it (for a vendor that must stay loaded).
    void Detach() { handle_ = nullptr; }
    bool IsLoaded() const { return handle_ != nullptr; }
    // The entry point's address, or null.
    void *Symbol(const char *name) const;
    const std::string &LoadErrorText() const { return loadError_; }
    // The loader's handle of the library (the module on Windows), null while not loaded.
    const void *NativeHandle() const { return handle_; }

private:
    void *handle_ = nullptr;
    std::string loadError_;
};

} // namespace zorcomm::platform
