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

RunResult portfolio(const Bounds& bounds, uint64_t max_evals, Objective objective,
                    const RunControl& control) {
  check_portfolio(bounds);
  const size_t dim = bounds.dim();
  const uint64_t g = portfolio_generations(dim, max_evals);

  DeOptions de;
  de.pop_size = 10 * dim;
  de.max_generations = g;
  de.seed = 42;
  de.control = control;
  RunResult chosen = differential_evolution(bounds, de, objective);
  uint64_t made = chosen.evaluations;
  bool stopped = chosen.stopped;

  auto consider = [&](RunResult r) {
    made += r.evaluations;
    stopped = r.stopped;
    if (improves(r.objective, chosen.objective)) chosen = std::move(r);
  };
  // The next member shares the frame; its monitor counts the calls so far.
  auto frame = [&] {
    RunControl c = control;
    c.prior_evaluations = control.prior_evaluations + made;
    return c;
  };
  auto finish = [&] {
    if (stopped) {
      chosen.stopped = true;
      chosen.converged = false;
    }
    return chosen;
  };
  if (stopped) return finish();

  PsoOptions pso;
  pso.pop_size = std::min<size_t>(10 * dim, 20);
  pso.max_iterations = g;
  pso.seed = 137;
  pso.control = frame();
  consider(particle_swarm(bounds, pso, objective));
  if (stopped) return finish();

  CmaesOptions es;
  es.max_generations = g;
  es.sigma = 0.3;
  es.seed = 271;
  es.variant = CmaesVariant::simple;
  es.control = frame();
  consider(cmaes_simple(bounds, es, objective));
  if (stopped) return finish();

  SaOptions sa;
  sa.max_iterations = 10 * g;
  sa.temp_init = 100.0;
  sa.cooling_rate = 0.999;
  sa.seed = 314;
  sa.control = frame();
  sa.control.batch = nullptr;  // one point at a time: no batch to share
  consider(simulated_annealing(bounds, sa, objective));
  return finish();
}

}  // namespace pelora::blackbox
