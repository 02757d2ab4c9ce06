// Differential evolution, rand/1/bin with in-place selection.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

struct DeOptions {
  size_t pop_size = 0;  // NP; 0 means 10 * dim
  uint64_t max_generations = 1000;
  double f = 0.8;   // differential weight F
  double cr = 0.9;  // crossover rate CR
  uint64_t seed = 42;
  double tol = 1e-8;  // stagnation tolerance over the last ten history entries
  RunControl control;  // caps, target, monitor and batch evaluation
};

// The population size a run with these options uses.
size_t de_population(const Bounds& bounds, const DeOptions& options) noexcept;

// Throws std::invalid_argument for a run that could not proceed: bad bounds
// (see check_bounds) or fewer than 4 members. Called by
// differential_evolution before its first evaluation.
void check_de(const Bounds& bounds, const DeOptions& options);

// Minimises `objective` over `bounds`. Evaluations = NP + trial vectors.
RunResult differential_evolution(const Bounds& bounds, const DeOptions& options,
                                 Objective objective);

}  // namespace pelora::blackbox
