// Runs differential evolution, particle swarm, the simple CMA-ES and
// simulated annealing one after the other and keeps the best result.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

// Generation count G shared by the four runs: max_evals / (10 * dim),
// raised to 50 when it is 50 or less. dim must be > 0.
uint64_t portfolio_generations(size_t dim, uint64_t max_evals) noexcept;

// Throws std::invalid_argument for an empty or unusable box.
void check_portfolio(const Bounds& bounds);

// The returned result is the chosen run's own (its evaluations only); ties
// keep the earlier optimiser. `control` is shared by the four runs (one time
// budget, one monitor; its evaluation cap is not used: max_evals sets the
// run lengths). A run ended early (time, monitor) ends the portfolio: the
// best result so far is returned, not converged.
RunResult portfolio(const Bounds& bounds, uint64_t max_evals, Objective objective,
                    const RunControl& control = RunControl{});

}  // namespace pelora::blackbox
