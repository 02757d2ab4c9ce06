// Single-point simulated annealing: Gaussian moves scaled to the box,
// Metropolis acceptance, geometric cooling.
#pragma once
#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

struct SaOptions {
  uint64_t max_iterations = 10000;
  uint64_t seed = 42;
  double temp_init = 100.0;
  double cooling_rate = 0.999;  // factor applied to the temperature after every iteration
  RunControl control;  // caps, target, monitor and batch evaluation
};

// Throws std::invalid_argument for an unusable box (an empty box is allowed:
// the objective is then called with an empty list).
void check_sa(const Bounds& bounds, const SaOptions& options);

// One evaluation per iteration plus the start; converged = final
// temperature below 1e-8.
RunResult simulated_annealing(const Bounds& bounds, const SaOptions& options,
                              Objective objective);

}  // namespace pelora::blackbox
