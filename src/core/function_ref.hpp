#pragma once
/// A non-owning reference to a callable, so that an interface can take a visitor without a
/// template and without allocating.

#include <memory>
#include <type_traits>
#include <utility>

namespace kestrix::core {

template <class Signature>
class FunctionRef;

/// Refers to a callable that outlives it; copying copies the reference.
template <class Result, class... Args>
class FunctionRef<Result(Args...)> {
public:
    template <class Callable>
        requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
                 std::is_invocable_r_v<Result, Callable&, Args...>)
    FunctionRef(Callable&& callable) noexcept // NOLINT: converts implicitly, like a function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* object, Args... args) -> Result {
              return (*static_cast<std::remove_reference_t<Callable>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    Result (*call_)(void*, Args...);
};

} // namespace kestrix::core
