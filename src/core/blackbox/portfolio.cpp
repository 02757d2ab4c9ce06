#include "core/blackbox/portfolio.hpp"

#include <algorithm>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/differential_evolution.hpp"
#include "core/blackbox/particle_swarm.hpp"
#include "core/blackbox/simulated_annealing.hpp"

namespace pelora::blackbox {

uint64_t portfolio_generations(size_t dim, uint64_t max_evals) noexcept {
  const uint64_t g = max_evals / (10 * static_cast<uint64_t>(dim));
  return g <= 50 ? 50 : g;
}

void check_portfolio(const Bounds& bounds) { check_bounds(bounds, true); }

RunResult portfolio(const Bounds& bounds, uint64_t max_evals, Objective objective) {
  check_portfolio(bounds);
  const size_t dim = bounds.dim();
  const uint64_t g = portfolio_generations(dim, max_evals);

  DeOptions de;
  de.pop_size = 10 * dim;
  de.max_generations = g;
  de.seed = 42;
  RunResult chosen = differential_evolution(bounds, de, objective);

  auto consider = [&](RunResult r) {
    if (improves(r.objective, chosen.objective)) chosen = std::move(r);
  };

  PsoOptions pso;
  pso.pop_size = std::min<size_t>(10 * dim, 20);
  pso.max_iterations = g;
  pso.seed = 137;
  consider(particle_swarm(bounds, pso, objective));

  CmaesOptions es;
  es.max_generations = g;
  es.sigma = 0.3;
  es.seed = 271;
  es.variant = CmaesVariant::simple;
  consider(cmaes_simple(bounds, es, objective));

  SaOptions sa;
  sa.max_iterations = 10 * g;
  sa.temp_init = 100.0;
  sa.cooling_rate = 0.999;
  sa.seed = 314;
  consider(simulated_annealing(bounds, sa, objective));
  return chosen;
}

}  // namespace pelora::blackbox
