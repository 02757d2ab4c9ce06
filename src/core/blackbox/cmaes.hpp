// Evolution strategies: the simple diagonal variant with a one-fifth-success
// step-size rule, and full covariance matrix adaptation with optional
// restarts that double the population.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

enum class CmaesVariant { simple, full };

struct CmaesOptions {
  size_t pop_size = 0;  // offspring per generation; 0 means the variant's default
  uint64_t max_generations = 1000;  // per run
  double sigma = 0.3;  // simple: a fraction of each bound width; full: absolute
  uint64_t seed = 42;
  double tol = 1e-8;
  CmaesVariant variant = CmaesVariant::simple;
  size_t restarts = 0;  // full variant only
  RunControl control;  // caps, target, monitor and batch evaluation
};

// Offspring per generation of the first run.
size_t cmaes_population(const Bounds& bounds, const CmaesOptions& options) noexcept;

// Throws std::invalid_argument for an empty or unusable box, or a simple
// run with fewer than 2 offspring (its mean would collapse to zero).
void check_cmaes(const Bounds& bounds, const CmaesOptions& options);

// Runs the chosen variant (with restarts for the full one). Evaluations
// count the box centre of each run plus the offspring.
RunResult cmaes(const Bounds& bounds, const CmaesOptions& options, Objective objective);

// The two variants on their own (cmaes dispatches to them).
RunResult cmaes_simple(const Bounds& bounds, const CmaesOptions& options, Objective objective);
// One full-variant run with `lambda` offspring. `prior_evaluations` are the
// calls made by earlier restarts: the evolution-path test counts them.
RunResult cmaes_full_run(const Bounds& bounds, const CmaesOptions& options, size_t lambda,
                         uint64_t prior_evaluations, Objective objective);

}  // namespace pelora::blackbox
