// Per-process objects that must outlive the library's own unload handler: at process exit the
// C++ destructors of a shared object's statics run before its unload handler, which still closes
// the process's channels through them. Built on first use, never destroyed.
#pragma once

#include <new>

namespace zorcomm {

template <typename T> T &Persistent() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *object = new (storage) T();
    return *object;
}

} // namespace zorcomm
