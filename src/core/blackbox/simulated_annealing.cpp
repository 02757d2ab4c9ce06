#include "core/blackbox/simulated_annealing.hpp"

#include <cmath>
#include <vector>

namespace pelora::blackbox {
namespace {

constexpr double kMoveScale = 0.1;  // of the bound width per unit normal deviate
constexpr double kFrozen = 1e-8;

}  // namespace

void check_sa(const Bounds& bounds, const SaOptions&) { check_bounds(bounds, false); }

RunResult simulated_annealing(const Bounds& bounds, const SaOptions& options,
                              Objective objective) {
  check_sa(bounds, options);
  const size_t dim = bounds.dim();
  XorShift64 rng(options.seed);

  std::vector<double> current(dim);
  random_point(bounds, rng, current);
  double current_f = objective(current);
  RunResult r;
  r.evaluations = 1;
  r.x = current;
  r.objective = current_f;
  r.history.push_back(r.objective);
  double temp = options.temp_init;

  std::vector<double> candidate(dim);
  bool stopped = !options.control.room_for(r.evaluations, 1);
  for (uint64_t it = 1; !stopped && it <= options.max_iterations; ++it) {
    for (size_t k = 0; k < dim; ++k) {
      const double z = rng.normal();
      candidate[k] = (bounds.upper[k] - bounds.lower[k]) * (z * kMoveScale) + current[k];
    }
    clamp(bounds, candidate);
    const double f = objective(candidate);
    ++r.evaluations;
    const double d = f - current_f;
    // The uniform draw is made only when the move is not downhill; d = 0
    // is then always accepted (exp(-0/T) = 1 > u) and NaN never is.
    // A NaN current value (a NaN start) would reject every move; any number
    // replaces it.
    bool accept = d < 0 || std::exp(-d / temp) > rng.uniform();
    if (current_f != current_f && f == f) accept = true;
    if (accept) {
      current.swap(candidate);
      current_f = f;
      if (improves(f, r.objective)) {
        r.x = current;
        r.objective = f;
      }
    }
    r.history.push_back(r.objective);
    temp *= options.cooling_rate;
    const Verdict v = options.control.review(r, temp < kFrozen, 1);
    if (v == Verdict::stopped) {
      stopped = true;
      break;
    }
    if (v == Verdict::converged) break;
  }
  r.stopped = stopped;
  r.converged = !stopped && (temp < kFrozen || options.control.reached(r.objective));
  return r;
}

}  // namespace pelora::blackbox
