// CMA-ES with the active (negative-weight) covariance update and restarts
// with an increasing population: the variant to reach for first on a
// continuous box-bounded problem.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"

namespace pelora::blackbox {

// Why a run (or the whole call) ended.
enum class IpopStop {
  target,           // a value at or below `target` was found
  max_evals,        // the evaluation budget is spent
  max_time,         // the time budget is spent
  max_generations,  // the run's generation limit
  tol_fun,          // recent best values and the last generation lie within tol_fun
  tol_x,            // every coordinate's standard deviation and step below tol_x
  no_effect_axis,   // a 0.1-sigma step along a principal axis leaves the mean unchanged
  no_effect_coord,  // a 0.2-sigma step in some coordinate leaves the mean unchanged
  condition,        // the covariance condition number exceeds 1e14
  stagnation,       // neither the best nor the median values improve any more
  tol_up_sigma,     // the step size grew beyond any use (or stopped being finite)
  no_space,         // every coordinate is pinned: the box is a single point
  run_budget,       // the run spent the evaluations its restart scheme gave it
  behind,           // bipop: the run converges to a value well above the call's best
  settled,          // a run ended by tol_fun or tol_x, the last two restarts gaining nothing
  stopped,          // the monitor asked to stop
};

// The stop reason as a short lower-case name ("tol_fun", "target", ...).
const char* ipop_stop_name(IpopStop stop) noexcept;

struct IpopOptions {
  size_t pop_size = 0;  // offspring of the first run; 0: 4 + floor(3 ln n)
  // Initial step size in the objective's coordinates along a coordinate of
  // average width; 0 means 0.3 x that width. Coordinates of other widths
  // start with steps in proportion to their widths.
  double sigma = 0.0;
  uint64_t seed = 42;
  uint64_t max_evals = 0;  // evaluations over all runs; 0: 10000 x dim
  double max_time = std::numeric_limits<double>::infinity();  // seconds
  double target = -std::numeric_limits<double>::infinity();   // stop at or below
  double tol_fun = 1e-11;
  uint64_t max_generations = 0;  // per run; 0: 100 + 150 (n + 3)^2 / sqrt(lambda)
  size_t max_restarts = std::numeric_limits<size_t>::max();
  // Borrowed; shown the best point after every generation, and returning
  // true ends the call (result.stopped).
  const Monitor* monitor = nullptr;
  // Borrowed; when set, each generation (as far as the evaluation budget
  // reaches) is evaluated in one call instead of point by point.
  const BatchObjective* batch = nullptr;
};

// One run of the restart sequence.
struct IpopRun {
  size_t lambda = 0;
  double sigma = 0.0;  // its initial step size
  bool small = false;  // a run of bipop's small-population regime
  uint64_t generations = 0;
  uint64_t evaluations = 0;
  double best = 0.0;  // best value of this run (NaN when it evaluated nothing)
  IpopStop stop = IpopStop::max_evals;
};

struct IpopResult {
  RunResult result;  // best over all runs; history spans all runs
  std::vector<IpopRun> runs;
  IpopStop stop = IpopStop::max_evals;  // what ended the call
};

// Throws std::invalid_argument for an unusable box, a population below 2,
// a step size that is not a positive finite number, or a negative or NaN
// time budget.
void check_ipop(const Bounds& bounds, const IpopOptions& options);

// Minimises `objective` over `bounds`. The first run starts at the box
// centre (one evaluation); each restart doubles the population and starts
// at a uniform random point of the box.
//
// Stopping: a global stop (target, max_evals, max_time, the monitor) ends
// the call at once. When neither `max_evals` nor `max_restarts` is set, the
// call also ends (stop `settled`) after a restart when the best value is
// one that a run ended by tol_fun or tol_x reached, and the last two
// restarts have not lowered it by more than tol_fun x max(1, |best|): a
// problem solved to the end stops after a few restarts instead of spending
// the default budget. Setting either of the two asks for every restart or
// evaluation they allow.
//
// `result.converged` is true when `target` was reached, when the call
// settled, or when the last run allowed by `max_restarts` ended by one of
// its own termination tests; a spent evaluation or time budget (the call's
// or, in bipop, a run's own) leaves it false, as does a last bipop run that
// gave way to a better one (`behind`).
IpopResult cmaes_ipop(const Bounds& bounds, const IpopOptions& options, Objective objective);

}  // namespace pelora::blackbox
