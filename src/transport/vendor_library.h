// A vendor's library loaded by file name with every entry point bound by name, counted per
// process: the first user loads it, the last one lets it go.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/dynamic_library.h"

namespace zorcomm {

template <typename Function>
bool BindEntry(const platform::DynamicLibrary &library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(library.Symbol(name));
    return function != nullptr;
}

// `Api` is a struct of entry points with a static `bool Bind(const DynamicLibrary&, Api&)`.
template <typename Api>
class VendorLibrary {
public:
    // True when the library is (now) loaded with every entry point bound.
    bool Acquire(const char *fileName) {
        if (count_ != 0) {
            ++count_;
            return true;
        }
        if (!library_.Load(fileName) || !Api::Bind(library_, api_)) {
            Forget();
            return false;
        }
        count_ = 1;
        return true;
    }
    // Undoes one Acquire; `unload` decides how the last user lets the library go.
    template <typename Unload> void Release(Unload unload) {
        if (count_ == 0 || --count_ != 0) return;
        unload(library_, api_);
        Forget();
    }
    void Release() {
        Release([](platform::DynamicLibrary &library, Api &) { library.Unload(); });
    }
    const Api &api() const { return api_; }
    uint8_t count() const { return count_; }

private:
    void Forget() {
        // Moved out and destroyed, it lets go of the loader's text of a failed load as well:
        // this object itself is never destroyed.
        { platform::DynamicLibrary done(std::move(library_)); }
        api_ = Api{};
        count_ = 0;
    }

    platform::DynamicLibrary library_;
    Api api_{};
    uint8_t count_ = 0;
};

} // namespace zorcomm
