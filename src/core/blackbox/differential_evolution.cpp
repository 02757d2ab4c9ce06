// Differential evolution (rand/1/bin). The serial run updates the
// population in place: a trial that wins its selection is at once the member
// later trials of the same generation draw from. With a batch evaluator the
// run uses deferred updating instead: every trial of a generation is built
// from the population as it stood at the generation's start, the trials are
// evaluated together, and the selections follow in member order. The
// generator is used exactly as in the serial run; only the members the
// trials mix differ.
#include "core/blackbox/differential_evolution.hpp"

#include <algorithm>
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
  const RunControl& control = options.control;
  std::vector<double> fitness(np);
  if (control.batch) {
    control.evaluate(objective, pop, dim, fitness);
    r.evaluations = np;
  } else {
    for (size_t i = 0; i < np; ++i) {
      fitness[i] = objective(member(i));
      ++r.evaluations;
    }
  }
  size_t best = 0;
  for (size_t i = 1; i < np; ++i) {
    if (improves(fitness[i], fitness[best])) best = i;
  }
  r.x.assign(member(best).begin(), member(best).end());
  r.objective = fitness[best];
  r.history.push_back(r.objective);

  // Index draws and crossover for member i, reading the members from
  // `from` and writing the trial into `trial`.
  auto make_trial = [&](size_t i, const double* from, double* trial) {
    size_t r1, r2, r3;
    do r1 = rng.index(np); while (r1 == i);
    do r2 = rng.index(np); while (r2 == i || r2 == r1);
    do r3 = rng.index(np); while (r3 == r2 || r3 == i || r3 == r1);
    const size_t j_rand = rng.index(dim);
    const double* a = from + r1 * dim;
    const double* b = from + r2 * dim;
    const double* c = from + r3 * dim;
    const double* cur = from + i * dim;
    for (size_t k = 0; k < dim; ++k) {
      const double u = rng.uniform();
      trial[k] = (k == j_rand || u < options.cr) ? (b[k] - c[k]) * options.f + a[k] : cur[k];
    }
    clamp(bounds, {trial, dim});
  };
  // A tie is accepted. A NaN trial loses; a NaN member (NaN is not better
  // than anything) yields to any number, so a good trial at its place is
  // neither lost nor kept from the best.
  auto select = [&](size_t i, const double* trial, double f_trial) {
    if (fitness[i] >= f_trial || (fitness[i] != fitness[i] && f_trial == f_trial)) {
      std::copy(trial, trial + dim, member(i).begin());
      fitness[i] = f_trial;
      if (improves(f_trial, r.objective)) {
        r.x.assign(trial, trial + dim);
        r.objective = f_trial;
      }
    }
  };

  std::vector<double> trial(control.batch ? np * dim : dim);
  std::vector<double> trial_f(control.batch ? np : 0);
  if (!control.room_for(r.evaluations, np)) {
    r.stopped = true;
    return r;
  }
  for (uint64_t g = 1; g <= options.max_generations; ++g) {
    if (control.batch) {
      for (size_t i = 0; i < np; ++i) make_trial(i, pop.data(), trial.data() + i * dim);
      control.evaluate(objective, trial, dim, trial_f);
      r.evaluations += np;
      for (size_t i = 0; i < np; ++i) select(i, trial.data() + i * dim, trial_f[i]);
    } else {
      for (size_t i = 0; i < np; ++i) {
        make_trial(i, pop.data(), trial.data());
        const double f_trial = objective(trial);
        ++r.evaluations;
        select(i, trial.data(), f_trial);
      }
    }
    r.history.push_back(r.objective);
    const Verdict v = control.review(
        r, stagnated(r.history, options.tol) && collapsed(fitness, r.objective, options.tol), np);
    if (settle(r, v)) break;
  }
  return r;
}

}  // namespace pelora::blackbox
