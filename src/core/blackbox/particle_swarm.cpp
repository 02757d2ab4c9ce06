// Particle swarm. In the serial run particles move one after the other; an
// improvement of the global best by one particle steers the particles after
// it in the same iteration. With a batch evaluator every particle moves
// with the global best of the iteration's start, the swarm is evaluated
// together, and the bests are then updated in particle order (the
// generator is used as in the serial run).
#include "core/blackbox/particle_swarm.hpp"

#include <algorithm>
#include <vector>

#include "core/blackbox/stagnation.hpp"

namespace pelora::blackbox {
namespace {

constexpr double kInertia = 0.7298;
constexpr double kAccel = 1.49618;  // cognitive and social alike
constexpr double kVelocityScale = 0.1;

}  // namespace

size_t pso_swarm_size(const Bounds& bounds, const PsoOptions& options) noexcept {
  return options.pop_size != 0 ? options.pop_size : std::min<size_t>(10 * bounds.dim(), 20);
}

void check_pso(const Bounds& bounds, const PsoOptions& options) {
  check_bounds(bounds, true);
  check_population_size(pso_swarm_size(bounds, options), bounds.dim(), "pop_size");
}

RunResult particle_swarm(const Bounds& bounds, const PsoOptions& options, Objective objective) {
  check_pso(bounds, options);
  const size_t dim = bounds.dim();
  const size_t s = pso_swarm_size(bounds, options);
  XorShift64 rng(options.seed);

  // Flat arrays, particle i at [i * dim, (i + 1) * dim).
  std::vector<double> pos(s * dim), vel(s * dim);
  for (size_t i = 0; i < s; ++i) random_point(bounds, rng, {pos.data() + i * dim, dim});
  for (size_t i = 0; i < s; ++i) {
    for (size_t k = 0; k < dim; ++k) {
      const double u = rng.uniform();
      vel[i * dim + k] = (u - 0.5) * (bounds.upper[k] - bounds.lower[k]) * kVelocityScale;
    }
  }

  RunResult r;
  const RunControl& control = options.control;
  std::vector<double> fitness(s);
  control.evaluate(objective, pos, dim, fitness);
  r.evaluations = s;
  std::vector<double> pbest = pos;
  std::vector<double> pbest_f = fitness;
  size_t best = 0;
  for (size_t i = 1; i < s; ++i) {
    if (improves(fitness[i], fitness[best])) best = i;
  }
  r.x.assign(pos.begin() + static_cast<ptrdiff_t>(best * dim),
             pos.begin() + static_cast<ptrdiff_t>((best + 1) * dim));
  r.objective = fitness[best];
  r.history.push_back(r.objective);

  auto move = [&](size_t i) {
    double* x = pos.data() + i * dim;
    double* v = vel.data() + i * dim;
    const double* pb = pbest.data() + i * dim;
    for (size_t k = 0; k < dim; ++k) {
      const double r1 = rng.uniform();
      const double r2 = rng.uniform();
      v[k] = (r.x[k] - x[k]) * (r2 * kAccel) + ((pb[k] - x[k]) * (r1 * kAccel) + v[k] * kInertia);
      x[k] = v[k] + x[k];
    }
    clamp(bounds, std::span<double>(x, dim));
  };
  auto record = [&](size_t i, double f) {
    const double* x = pos.data() + i * dim;
    fitness[i] = f;
    if (improves(f, pbest_f[i])) {
      std::copy(x, x + dim, pbest.begin() + static_cast<ptrdiff_t>(i * dim));
      pbest_f[i] = f;
      if (improves(f, r.objective)) {
        std::copy(x, x + dim, r.x.begin());
        r.objective = f;
      }
    }
  };

  if (!control.room_for(r.evaluations, s)) {
    r.stopped = true;
    return r;
  }
  for (uint64_t t = 1; t <= options.max_iterations; ++t) {
    if (control.batch) {
      // The global best moves only after the whole swarm has moved.
      for (size_t i = 0; i < s; ++i) move(i);
      control.evaluate(objective, pos, dim, fitness);
      r.evaluations += s;
      for (size_t i = 0; i < s; ++i) record(i, fitness[i]);
    } else {
      for (size_t i = 0; i < s; ++i) {
        move(i);
        const double f = objective(std::span<const double>(pos.data() + i * dim, dim));
        ++r.evaluations;
        record(i, f);
      }
    }
    r.history.push_back(r.objective);
    const Verdict v = control.review(
        r, stagnated(r.history, options.tol) && collapsed(pbest_f, r.objective, options.tol), s);
    if (settle(r, v)) break;
  }
  return r;
}

}  // namespace pelora::blackbox
