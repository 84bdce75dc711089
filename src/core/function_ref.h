// A non-owning reference to a callable, for hooks that are called while the caller's frame
// lives: no copy, no allocation, one indirect call. Empty when default-constructed.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace zorcomm {

template <typename Signature> class FunctionRef;

template <typename Result, typename... Args> class FunctionRef<Result(Args...)> {
public:
    FunctionRef() = default;
    template <typename Callable,
              typename = std::enable_if_t<
                  !std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
                  std::is_invocable_r_v<Result, Callable &, Args...>>>
    FunctionRef(Callable &&callable) // NOLINT: converts like std::function
        : object_(const_cast<void *>(static_cast<const void *>(std::addressof(callable)))),
          call_([](void *object, Args... args) -> Result {
              return (*static_cast<std::remove_reference_t<Callable> *>(object))(
                  std::forward<Args>(args)...);
          }) {}

    explicit operator bool() const { return call_ != nullptr; }
    Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void *object_ = nullptr;
    Result (*call_)(void *, Args...) = nullptr;
};

} // namespace zorcomm
