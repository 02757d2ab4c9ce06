// The simple evolution strategy: independent normal steps scaled to each
// bound width, equal-weight recombination of the better half, and a
// one-fifth-success rule for the step size.
#include <algorithm>
#include <vector>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/ranking.hpp"

namespace pelora::blackbox {

RunResult cmaes_simple(const Bounds& bounds, const CmaesOptions& options, Objective objective) {
  check_cmaes(bounds, options);
  const size_t dim = bounds.dim();
  const size_t lambda = cmaes_population(bounds, options);
  const size_t mu = lambda / 2;
  XorShift64 rng(options.seed);

  // Start at the box centre.
  std::vector<double> mean(dim);
  for (size_t k = 0; k < dim; ++k) mean[k] = (bounds.lower[k] + bounds.upper[k]) * 0.5;
  RunResult r;
  r.objective = objective(mean);
  r.evaluations = 1;
  r.x = mean;
  r.history.push_back(r.objective);
  double sigma = options.sigma;

  std::vector<double> offspring(lambda * dim), values(lambda);
  std::vector<size_t> order(lambda);
  const RunControl& control = options.control;
  if (!control.room_for(r.evaluations, lambda)) {
    r.stopped = true;
    return r;
  }
  for (uint64_t g = 1; g <= options.max_generations; ++g) {
    // Sample and evaluate each offspring before drawing the next; a batch
    // run samples them all first (the draws do not depend on the values).
    for (size_t j = 0; j < lambda; ++j) {
      std::span<double> x(offspring.data() + j * dim, dim);
      for (size_t k = 0; k < dim; ++k) {
        const double z = rng.normal();
        x[k] = z * ((bounds.upper[k] - bounds.lower[k]) * sigma) + mean[k];
      }
      clamp(bounds, x);
      if (!control.batch) values[j] = objective(x);
    }
    if (control.batch) control.evaluate(objective, offspring, dim, values);
    r.evaluations += lambda;

    // Rank: stable, ascending, NaN equal to everything. The best point is
    // the smallest value found, which a NaN left at the head of the ranking
    // must not hide.
    rank_by_value(values, order);
    const size_t top = first_smallest(values);
    if (improves(values[top], r.objective)) {
      r.objective = values[top];
      const double* first = offspring.data() + top * dim;
      std::copy(first, first + dim, r.x.begin());
    }

    // Equal-weight mean of the better half.
    const double w = 1.0 / static_cast<double>(mu);
    for (size_t k = 0; k < dim; ++k) {
      double s = 0.0;
      for (size_t j = 0; j < mu; ++j) s += offspring[order[j] * dim + k] * w;
      mean[k] = s;
    }

    // One-fifth rule on the better half's successes against the best.
    size_t successes = 0;
    for (size_t j = 0; j < std::min(mu, lambda); ++j) {
      if (values[order[j]] < r.objective + 1e-12) ++successes;
    }
    const double rate = static_cast<double>(successes) / static_cast<double>(mu);
    sigma *= rate > 0.2 ? 1.05 : 0.95;
    sigma = std::min(std::max(sigma, 1e-12), 1.0);

    r.history.push_back(r.objective);
    const Verdict v = control.review(r, options.tol > sigma, lambda);
    if (settle(r, v)) break;
  }
  return r;
}

}  // namespace pelora::blackbox
