// The restart loop that the active CMA-ES restart schemes share (ipop,
// bipop): the schemes differ only in the population, initial step size and
// evaluation budget they give each restart.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/blackbox/cmaes_ipop.hpp"

namespace pelora::blackbox::active {

// The default population: 4 + floor(3 ln n).
size_t default_lambda(size_t n);

// What one run gets.
struct RunPlan {
  size_t lambda = 0;       // offspring per generation
  double sigma = 0.0;      // initial step size
  uint64_t max_evals = 0;  // evaluations this run may spend; 0: no cap of its own
  bool small = false;      // reported in IpopRun::small
  // 0: off. Otherwise the run also ends (stop `behind`) once it trails the
  // best value of the call and, over the flat-value test's window of
  // generations, its per-generation best values vary by less than `behind`
  // times its lag: a run converging to a worse local optimum gives way.
  double behind = 0.0;
  // 0: off. Otherwise, in a generation whose mean lies outside the box in
  // at least half of the coordinates, an offspring that leaves the box
  // across a bound the mean has crossed too goes unpenalised for its first
  // `free_outside` standard deviations beyond that bound (see `rank`).
  double free_outside = 0.0;
};

// Plans a restart: given the first run's plan and the runs made so far
// (at least one), fills `plan` for the next one. It may draw from `rng`
// (before the restart's start point is drawn). Returning false ends the
// restarts.
using PlanNext = std::function<bool(const RunPlan& first, const std::vector<IpopRun>& runs,
                                    XorShift64& rng, RunPlan& plan)>;

// Throws std::invalid_argument as check_ipop does, naming `variant`.
void check_options(const Bounds& bounds, const IpopOptions& options, const char* variant);

// Whether the settling rule applies: neither max_evals nor max_restarts set.
bool settles(const IpopOptions& options) noexcept;

// Whether `now` improves on `before` by more than tol x max(1, |before|).
bool gained(double before, double now, double tol) noexcept;

// The whole call, as documented for cmaes_ipop: the box centre, the first
// run from there (the options' pop_size or the default population; sigma,
// or `sigma_fraction` x the mean bound width), then restarts planned by
// `next` from uniform random points until a global stop, the restart cap,
// or the settling rule ends the call.
// Every run takes `free_outside` from `first_plan` (its other fields are
// ignored).
IpopResult restart_loop(const Bounds& bounds, const IpopOptions& options, Objective objective,
                        double sigma_fraction, const PlanNext& next,
                        const RunPlan& first_plan = RunPlan{});

}  // namespace pelora::blackbox::active
