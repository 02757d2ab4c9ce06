// What every black-box optimiser shares: the objective as a non-owning C++
// callable and the outcome of one run.
#pragma once
#include <concepts>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace pelora::blackbox {

// A borrowed reference to any callable `double(std::span<const double>)`:
// a lambda, a function object, a plain function. It does not allocate and
// does not own the callable, so pass it down the call stack only. A
// callable may throw; every optimiser is exception-safe and lets the
// exception end the run.
class Objective {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Objective> &&
             std::is_invocable_r_v<double, F&, std::span<const double>>)
  Objective(F&& f) noexcept  // NOLINT: implicit on purpose, like std::function
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, std::span<const double> x) -> double {
          return (*static_cast<std::remove_reference_t<F>*>(c))(x);
        }) {}

  double operator()(std::span<const double> x) const { return call_(ctx_, x); }

 private:
  void* ctx_;
  double (*call_)(void*, std::span<const double>);
};

// Whether `value` should replace `best` as the best value seen: strictly
// lower, or any number when `best` is NaN. A NaN never wins, and a NaN best
// (a start point where the objective returned NaN) does not lock the run
// onto a NaN answer.
inline bool improves(double value, double best) noexcept {
  return value < best || (best != best && value == value);
}

// The outcome of one run.
struct RunResult {
  std::vector<double> x;        // best point found
  double objective = 0.0;       // its value
  std::vector<double> history;  // best value at the start and after every iteration
  uint64_t evaluations = 0;     // objective calls made
  bool converged = false;       // the optimiser's own stopping test fired
  bool stopped = false;         // a cap, the monitor or the caller ended the run early

  uint64_t iterations() const noexcept { return history.size(); }
};

}  // namespace pelora::blackbox
