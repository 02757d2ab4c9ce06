// Unboundedness a branch-and-bound search cannot find by itself: a
// non-convex quadratic objective that falls without end along a direction
// the constraints never stop (maximise k*k over the integers k >= -1). A
// spatial search would branch on ever larger values for ever.
#pragma once
#include <vector>

#include "core/model/standard_form.hpp"

namespace pelora {

// True when some direction d, made of one column or of two columns that
// share a Hessian entry, each moved by +1 or -1, satisfies
//   - every moved column has no bound on the side it moves to,
//   - every row it changes has no bound on the side it changes to,
//   - d'Qd < 0.
// From any feasible point x, x + t*d is then feasible for every t >= 0
// (integral for integral t) and the objective tends to -infinity: the model
// is unbounded as soon as it is feasible. Columns marked in `fixed` (those
// in cones or nonlinear terms, which the test does not cover) never move.
// Bounds and sides at or beyond `infinity` count as absent.
bool has_descent_ray(const StandardForm& f, const std::vector<bool>& fixed, double infinity);

// True when the Hessian fails a necessary condition of positive
// semidefiniteness: a negative diagonal entry, or a 2x2 principal minor
// Q_ii*Q_jj - Q_ij^2 below zero. A convex-only QP method (HiGHS's) would
// answer such a problem with a stationary point called optimal.
bool obviously_non_convex(const StandardForm& f);

}  // namespace pelora
