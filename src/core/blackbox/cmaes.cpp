// Choosing the variant, population defaults and the restart loop.
#include "core/blackbox/cmaes.hpp"

#include <cmath>
#include <string>

namespace pelora::blackbox {

size_t cmaes_population(const Bounds& bounds, const CmaesOptions& options) noexcept {
  const double n = static_cast<double>(bounds.dim());
  const size_t base = n >= 1 ? 4 + static_cast<size_t>(std::floor(3.0 * std::log(n))) : 4;
  if (options.variant == CmaesVariant::simple) {
    return options.pop_size != 0 ? options.pop_size : std::max<size_t>(5, base);
  }
  const size_t lambda = options.pop_size != 0 ? options.pop_size : base;
  return lambda < 5 ? 4 : lambda;
}

void check_cmaes(const Bounds& bounds, const CmaesOptions& options) {
  check_bounds(bounds, true);
  check_population_size(cmaes_population(bounds, options), bounds.dim(), "pop_size");
  if (options.variant == CmaesVariant::simple && cmaes_population(bounds, options) < 2) {
    throw std::invalid_argument(
        "pop_size must be at least 2 for the simple CMA-ES variant (the mean recombines the "
        "better half of the offspring), got " + std::to_string(options.pop_size));
  }
}

RunResult cmaes(const Bounds& bounds, const CmaesOptions& options, Objective objective) {
  check_cmaes(bounds, options);
  if (options.variant == CmaesVariant::simple) return cmaes_simple(bounds, options, objective);

  size_t lambda = cmaes_population(bounds, options);
  RunResult kept;
  uint64_t total = 0;
  for (size_t run = 0; run <= options.restarts; ++run) {
    CmaesOptions o = options;
    o.seed = options.seed + 7919ULL * run;  // wraps on 64 bits
    o.control.prior_evaluations = options.control.prior_evaluations + total;
    RunResult r = cmaes_full_run(bounds, o, lambda, total, objective);
    total += r.evaluations;
    const bool stopped = r.stopped;
    if (run == 0 || improves(r.objective, kept.objective)) kept = std::move(r);
    // A run ended by a cap or the monitor ends the restarts, and so does a
    // kept value at the target.
    if (stopped) {
      kept.stopped = true;
      kept.converged = false;
      break;
    }
    if (options.control.reached(kept.objective)) break;
    // A population too large to store ends the restarts (long after any
    // run of that size could finish).
    if (lambda > (size_t{1} << 55) / bounds.dim()) break;
    lambda *= 2;
  }
  kept.evaluations = total;
  return kept;
}

}  // namespace pelora::blackbox
