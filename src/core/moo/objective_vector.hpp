// The objectives of a multi-objective run as one non-owning C++ callable:
// `void(std::span<const double> x, std::span<double> out)` writes the m
// objective values of point x into out.
#pragma once
#include <concepts>
#include <memory>
#include <span>
#include <type_traits>

namespace pelora::moo {

// A borrowed reference to the callable (it neither allocates nor owns it);
// pass it down the call stack only. The callable may throw: the engines are
// exception-safe and let the exception end the run.
class ObjectiveVector {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, ObjectiveVector> &&
             std::is_invocable_v<F&, std::span<const double>, std::span<double>>)
  ObjectiveVector(F&& f) noexcept  // NOLINT: implicit on purpose, like std::function
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, std::span<const double> x, std::span<double> out) {
          (*static_cast<std::remove_reference_t<F>*>(c))(x, out);
        }) {}

  void operator()(std::span<const double> x, std::span<double> out) const { call_(ctx_, x, out); }

 private:
  void* ctx_;
  void (*call_)(void*, std::span<const double>, std::span<double>);
};

}  // namespace pelora::moo
