// Differential evolution (rand/1/bin). The population is updated in place:
// a trial that wins its selection is at once the member later trials of the
// same generation draw from.
#include "core/blackbox/differential_evolution.hpp"

#include <string>
#include <vector>

#include "core/blackbox/stagnation.hpp"

namespace pelora::blackbox {

size_t de_population(const Bounds& bounds, const DeOptions& options) noexcept {
  return options.pop_size != 0 ? options.pop_size : 10 * bounds.dim();
}

void check_de(const Bounds& bounds, const DeOptions& options) {
  check_bounds(bounds, true);
  const size_t np = de_population(bounds, options);
  check_population_size(np, bounds.dim(), "pop_size");
  if (np < 4) {
    throw std::invalid_argument(
        "pop_size must be at least 4 for differential evolution (each trial mixes three other "
        "members), got " + std::to_string(np));
  }
}

RunResult differential_evolution(const Bounds& bounds, const DeOptions& options,
                                 Objective objective) {
  check_de(bounds, options);
  const size_t dim = bounds.dim();
  const size_t np = de_population(bounds, options);
  XorShift64 rng(options.seed);

  // All members are drawn before any is evaluated; one flat array, member i
  // at [i * dim, (i + 1) * dim).
  std::vector<double> pop(np * dim);
  for (size_t i = 0; i < np; ++i) random_point(bounds, rng, {pop.data() + i * dim, dim});
  auto member = [&](size_t i) { return std::span<double>(pop.data() + i * dim, dim); };

  RunResult r;
  std::vector<double> fitness(np);
  for (size_t i = 0; i < np; ++i) {
    fitness[i] = objective(member(i));
    ++r.evaluations;
  }
  size_t best = 0;
  for (size_t i = 1; i < np; ++i) {
    if (improves(fitness[i], fitness[best])) best = i;
  }
  r.x.assign(member(best).begin(), member(best).end());
  r.objective = fitness[best];
  r.history.push_back(r.objective);

  std::vector<double> trial(dim);
  for (uint64_t g = 1; g <= options.max_generations; ++g) {
    for (size_t i = 0; i < np; ++i) {
      size_t r1, r2, r3;
      do r1 = rng.index(np); while (r1 == i);
      do r2 = rng.index(np); while (r2 == i || r2 == r1);
      do r3 = rng.index(np); while (r3 == r2 || r3 == i || r3 == r1);
      const size_t j_rand = rng.index(dim);
      const double* a = pop.data() + r1 * dim;
      const double* b = pop.data() + r2 * dim;
      const double* c = pop.data() + r3 * dim;
      const double* cur = pop.data() + i * dim;
      for (size_t k = 0; k < dim; ++k) {
        const double u = rng.uniform();
        trial[k] = (k == j_rand || u < options.cr) ? (b[k] - c[k]) * options.f + a[k] : cur[k];
      }
      clamp(bounds, trial);
      const double f_trial = objective(trial);
      ++r.evaluations;
      // A tie is accepted. A NaN trial loses; a NaN member (NaN is not
      // better than anything) yields to any number, so a good trial at its
      // place is neither lost nor kept from the best.
      if (fitness[i] >= f_trial || (fitness[i] != fitness[i] && f_trial == f_trial)) {
        std::copy(trial.begin(), trial.end(), member(i).begin());
        fitness[i] = f_trial;
        if (improves(f_trial, r.objective)) {
          r.x = trial;
          r.objective = f_trial;
        }
      }
    }
    r.history.push_back(r.objective);
    if (stagnated(r.history, options.tol) && collapsed(fitness, r.objective, options.tol)) {
      r.converged = true;
      break;
    }
  }
  return r;
}

}  // namespace pelora::blackbox
