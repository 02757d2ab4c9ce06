// ADMM in scaled consensus form: N parts solve their own proximal
// subproblems and must agree on one vector z of length dim.
#pragma once
#include <cstddef>
#include <concepts>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <span>
#include <vector>

#include "core/blackbox/run_control.hpp"

namespace pelora::admm {

// Solves part i's subproblem for penalty rho and target v = z - u_i and
// writes its local vector x_i (dim values) into out. A non-owning reference
// to any callable `void(size_t part, double rho, std::span<const double> v,
// std::span<double> out)`; it may throw, which ends the run.
class Subproblems {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Subproblems> &&
             std::is_invocable_v<F&, size_t, double, std::span<const double>, std::span<double>>)
  Subproblems(F&& f) noexcept  // NOLINT: implicit on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, size_t i, double rho, std::span<const double> v, std::span<double> out) {
          (*static_cast<std::remove_reference_t<F>*>(c))(i, rho, v, out);
        }) {}

  void operator()(size_t i, double rho, std::span<const double> v, std::span<double> out) const {
    call_(ctx_, i, rho, v, out);
  }

 private:
  void* ctx_;
  void (*call_)(void*, size_t, double, std::span<const double>, std::span<double>);
};

// All parts of one iteration at once: `targets` holds the N targets of
// `dim` values one after the other, `out` receives the N local vectors the
// same way. A non-owning reference to any callable
// `void(double rho, std::span<const double> targets, std::span<double> out)`.
class SubproblemBatch {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, SubproblemBatch> &&
             std::is_invocable_v<F&, double, std::span<const double>, std::span<double>>)
  SubproblemBatch(F&& f) noexcept  // NOLINT: implicit on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, double rho, std::span<const double> v, std::span<double> out) {
          (*static_cast<std::remove_reference_t<F>*>(c))(rho, v, out);
        }) {}

  void operator()(double rho, std::span<const double> v, std::span<double> out) const {
    call_(ctx_, rho, v, out);
  }

 private:
  void* ctx_;
  void (*call_)(void*, double, std::span<const double>, std::span<double>);
};

struct AdmmOptions {
  double rho = 1.0;
  uint64_t max_iter = 200;
  double tol = 1e-6;
  // Time and call caps (a call is one subproblem solve) and the monitor,
  // shown z and the primal residual after every iteration. Its `batch` is
  // not used: the parts go to `batch` below.
  blackbox::RunControl control;
  const SubproblemBatch* batch = nullptr;  // set: all parts of an iteration in one call
};

struct AdmmResult {
  std::vector<double> z;       // consensus vector at the end
  uint64_t iterations = 0;     // iteration at which the test passed, else max_iter
  double primal_residual = 0;  // r of the last iteration (inf when none ran)
  double dual_residual = 0;    // s of the last iteration (inf when none ran)
  bool converged = false;
  bool stopped = false;        // a cap or the monitor ended the run early
};

// Throws std::invalid_argument when the vectors of a run with this many parts
// and this dim could not even be sized (an allocation that merely fails
// raises std::bad_alloc later instead).
void check_admm(size_t n_parts, size_t dim);

// Runs up to max_iter iterations: all parts solve, z becomes the average of
// x_i + u_i, the scaled duals move by x_i - z, and the run stops once both
// r = ||(x_i - z)_i|| and s = rho * N * ||z - z_old|| are below tol. Calls
// check_admm first.
AdmmResult admm_consensus(size_t n_parts, size_t dim, const AdmmOptions& options,
                          Subproblems solve);

}  // namespace pelora::admm
