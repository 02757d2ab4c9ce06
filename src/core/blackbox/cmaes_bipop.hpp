// CMA-ES with the active covariance update and two interleaved restart
// regimes (BIPOP): ever larger populations for global structure, and short
// runs with small populations and small initial steps for functions whose
// global structure is weak.
#pragma once
#include "core/blackbox/cmaes_ipop.hpp"

namespace pelora::blackbox {

// Throws std::invalid_argument as check_ipop does.
void check_bipop(const Bounds& bounds, const IpopOptions& options);

// Minimises `objective` over `bounds` with the options, stop reasons,
// stopping rules and `converged` of cmaes_ipop, except that sigma defaults
// to 0.2 x the mean bound width. The first run (the box centre, pop_size or
// the default population, sigma) counts as a large run. With `max_evals`
// set, it counts for neither regime's spending, and each restart runs the
// small regime while that has spent less than half the evaluations of the
// large restarts, the large one otherwise (so the first restart is large);
// without it, each restart runs the regime that has spent fewer
// evaluations, the first run included (the large one on a tie):
//
// - large: twice the population of the previous large run, the first run's
//   initial step size, no budget of its own;
// - small: with two uniform draws u, v, the population
//   floor(lambda_0 (lambda_large / lambda_0)^(u^2)) (between the first
//   run's population lambda_0 and the latest large one, mostly near the
//   first), the initial step size sigma_0 10^(-2 v) (from sigma_0 down to a
//   hundredth of it), and at most half the evaluations of the latest large
//   run.
//
// Each restart starts at a uniform random point of the box, and also ends
// (stop `behind`) when over the flat-value test's window its best values
// vary by less than a tenth of its lag behind the best value of the call.
// IpopRun::small tells the regimes apart.
//
// Bounds as in cmaes_ipop (clamped evaluation, a penalty in standard
// deviations outside), except that in a generation whose mean lies outside
// the box in at least half of the coordinates, an offspring's first two
// deviations past a bound the mean has crossed too are not penalised: on an
// optimum at a corner with values flat beyond it (a linear slope), the
// distribution moves past the corner and its clamped offspring hit it
// exactly, instead of the mean being held on the bounds while the step
// size shrinks to the precision asked for.
IpopResult cmaes_bipop(const Bounds& bounds, const IpopOptions& options, Objective objective);

}  // namespace pelora::blackbox
