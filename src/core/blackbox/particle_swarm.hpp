// Global-best particle swarm with the constriction-factor constants.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

struct PsoOptions {
  size_t pop_size = 0;  // swarm size S; 0 means min(10 * dim, 20)
  uint64_t max_iterations = 1000;
  uint64_t seed = 42;
  double tol = 1e-8;  // stagnation tolerance
  RunControl control;  // caps, target, monitor and batch evaluation
};

size_t pso_swarm_size(const Bounds& bounds, const PsoOptions& options) noexcept;

// Throws std::invalid_argument for an empty or unusable box.
void check_pso(const Bounds& bounds, const PsoOptions& options);

// Evaluations = S at the start plus S per iteration.
RunResult particle_swarm(const Bounds& bounds, const PsoOptions& options, Objective objective);

}  // namespace pelora::blackbox
